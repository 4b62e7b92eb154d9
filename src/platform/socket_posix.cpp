#include "platform/socket.h"

namespace vellora::platform {

void set_listen_options(boost::asio::ip::tcp::acceptor& acceptor) {
  // On POSIX this only lets a restarted agent bind while old connections linger in TIME_WAIT;
  // two listeners on one port are still refused.
  boost::system::error_code ignored;
  acceptor.set_option(boost::asio::socket_base::reuse_address(true), ignored);
}

}  // namespace vellora::platform
