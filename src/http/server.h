#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <functional>
#include <memory>

#include "http/message.h"
#include "http/server_context.h"

namespace vellora {

// Answers one request whose header has arrived; reads its body from `body` if it needs it.
using RequestHandler = std::function<Reply(ServerContext&, const Request&, BodySource&)>;

// Accepts connections forever; each connection gets a detached thread that reads its requests
// one by one, has `handle` answer each and writes the replies. At most 128 connections are open; a
// shortage of descriptors, memory or threads refuses connections for a moment and never ends the
// server. Returns, after saying why on standard error, only when accepting fails for good.
void serve(boost::asio::ip::tcp::acceptor& acceptor, std::shared_ptr<ServerContext> context,
           RequestHandler handle);

}  // namespace vellora
