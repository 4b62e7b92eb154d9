#include <windows.h>
#include <winsock2.h>

#include "platform/socket.h"

namespace vellora::platform {
namespace {

void not_inheritable(SOCKET socket) {
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

void set_listen_options(boost::asio::ip::tcp::acceptor& acceptor) {
  // SO_REUSEADDR on Windows would let another socket bind the same port beside ours.
  BOOL exclusive = TRUE;
  ::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  // Winsock sockets are inheritable: a program the agent starts would hold the port on.
  not_inheritable(acceptor.native_handle());
}

void keep_from_children(boost::asio::ip::tcp::socket& socket) {
  not_inheritable(socket.native_handle());
}

bool accept_error_is_temporary(const boost::system::error_code& error) {
  if (error.category() != boost::system::system_category()) return false;
  const int code = error.value();
  return code == WSAEMFILE || code == WSAENOBUFS || code == WSA_NOT_ENOUGH_MEMORY ||
         code == ERROR_OUTOFMEMORY || code == ERROR_NO_SYSTEM_RESOURCES;
}

void interrupt_socket(boost::asio::ip::tcp::socket& socket) {
  const SOCKET s = socket.native_handle();
  ::shutdown(s, SD_BOTH);
  // A blocking recv() does not always return on shutdown alone; cancelling the socket's pending
  // I/O makes it fail at once.
  CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

bool peer_closed(boost::asio::ip::tcp::socket& socket) {
  WSAPOLLFD p{socket.native_handle(), POLLRDNORM, 0};
  if (::WSAPoll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  // Readable: either data (the socket stays open) or the end of the stream.
  char byte;
  const int n = ::recv(p.fd, &byte, 1, MSG_PEEK);
  return n == 0 || (n == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK);
}

}  // namespace vellora::platform
