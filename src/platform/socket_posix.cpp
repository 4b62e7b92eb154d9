#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/socket.h"

namespace vellora::platform {

void set_listen_options(boost::asio::ip::tcp::acceptor& acceptor) {
  // On POSIX this only lets a restarted agent bind while old connections linger in TIME_WAIT;
  // two listeners on one port are still refused.
  boost::system::error_code ignored;
  acceptor.set_option(boost::asio::socket_base::reuse_address(true), ignored);
  // Programs the agent starts must not inherit the port: one that outlives the agent (an agent
  // started by an update, a service manager's client) would keep the next agent from binding it.
  ::fcntl(acceptor.native_handle(), F_SETFD, FD_CLOEXEC);
}

void keep_from_children(boost::asio::ip::tcp::socket& socket) {
  ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
}

bool accept_error_is_temporary(const boost::system::error_code& error) {
  if (error.category() != boost::system::system_category()) return false;
  const int code = error.value();
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

void interrupt_socket(boost::asio::ip::tcp::socket& socket) {
  // A thread blocked in recv() or send() on this socket wakes up with an end of stream or EPIPE.
  ::shutdown(socket.native_handle(), SHUT_RDWR);
}

bool peer_closed(boost::asio::ip::tcp::socket& socket) {
  pollfd p{socket.native_handle(), POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL)) return true;
  char byte;
  const ssize_t n = ::recv(p.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

}  // namespace vellora::platform
