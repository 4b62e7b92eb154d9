#include <windows.h>
#include <winsock2.h>

#include "platform/socket.h"

namespace vellora::platform {

void set_listen_options(boost::asio::ip::tcp::acceptor& acceptor) {
  // SO_REUSEADDR on Windows would let another socket bind the same port beside ours.
  BOOL exclusive = TRUE;
  ::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
}

}  // namespace vellora::platform
