#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace vellora::platform {

// Sets the options of the listening socket before it binds. A second agent, or any other
// program, must get an error for the port instead of listening beside this one.
void set_listen_options(boost::asio::ip::tcp::acceptor& acceptor);

}  // namespace vellora::platform
