#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <memory>

#include "http/server_context.h"

namespace vellora {

// Accepts connections forever; each connection gets a detached thread that reads its requests
// one by one, runs the gate and writes the replies. At most 128 connections are open; a shortage
// of descriptors, memory or threads refuses connections for a moment and never ends the server.
// Returns, after saying why on standard error, only when accepting fails for good.
void serve(boost::asio::ip::tcp::acceptor& acceptor, std::shared_ptr<ServerContext> context);

}  // namespace vellora
