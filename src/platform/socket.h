#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace vellora::platform {

// Sets the options of the listening socket before it binds. A second agent, or any other
// program, must get an error for the port instead of listening beside this one.
void set_listen_options(boost::asio::ip::tcp::acceptor& acceptor);

// Keeps an accepted connection's socket from the programs the agent starts (the listening socket
// is kept from them by set_listen_options).
void keep_from_children(boost::asio::ip::tcp::socket& socket);

// True when accepting failed for want of a resource that comes back when connections close:
// descriptors, buffer space, memory. The server pauses and keeps serving.
bool accept_error_is_temporary(const boost::system::error_code& error);

// Makes every blocking read or write on the socket, in any thread, return at once with an end or
// an error. The socket stays open: its owner closes it.
void interrupt_socket(boost::asio::ip::tcp::socket& socket);

}  // namespace vellora::platform

namespace vellora::platform {

// True when the peer has closed or reset the connection. Never blocks and never takes data: a
// socket with unread data counts as open. Only for a socket no other thread reads meanwhile.
bool peer_closed(boost::asio::ip::tcp::socket& socket);

}  // namespace vellora::platform
