#pragma once

namespace vellora::platform {

// Linux only. Marks every descriptor from `first` on close-on-exec; made of system calls alone, so
// a child may call it between fork and exec. Only the standard streams reach a program the agent
// starts: never a socket of the agent (which would keep its port taken after it ends).
void close_on_exec_from(int first);

}  // namespace vellora::platform
