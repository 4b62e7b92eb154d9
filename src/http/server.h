#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <memory>

#include "http/server_context.h"

namespace vellora {

// Accepts connections forever; each connection gets a detached thread that reads its requests
// one by one, runs the gate and writes the replies. Returns when accepting fails.
void serve(boost::asio::ip::tcp::acceptor& acceptor, std::shared_ptr<ServerContext> context);

}  // namespace vellora
