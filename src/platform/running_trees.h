#pragma once

#include <functional>

namespace vellora::platform {

// Registers a running child's process tree for as long as the object lives, so that ending the
// agent can end every tree first and leave no TeX process behind.
class RunningTree {
 public:
  RunningTree() = default;
  // `kill` ends the whole tree; it runs at most once, never after release().
  explicit RunningTree(std::function<void()> kill);
  ~RunningTree() { release(); }
  RunningTree(const RunningTree&) = delete;
  RunningTree& operator=(const RunningTree&) = delete;

  // Unregisters; call before the child is reaped, so that its id cannot belong to a stranger when
  // kill_running_trees() runs. Waits for a kill already under way.
  void release();

 private:
  std::function<void()> kill_;
  bool registered_ = false;
};

// Kills every registered tree, and from now on each newly registered tree at once. Used only when
// the agent is about to end.
void kill_running_trees();

}  // namespace vellora::platform
