#include "agent/run_agent.h"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include "agent/companions.h"
#include "agent/port.h"
#include "agent/routes.h"
#include "compile/run_caches.h"
#include "http/server.h"
#include "platform/sandbox.h"
#include "platform/socket.h"
#include "project/blob_store.h"
#include "version.h"

namespace vellora {
using boost::asio::ip::tcp;

std::string startup_report(unsigned port, const std::vector<EngineInfo>& engines) {
  std::string report = "vellora-agent " + std::string(VERSION) +
                       " at http://127.0.0.1:" + std::to_string(port) + "\n";
  report +=
      "To pair a browser: it asks for the code on the first compilation (or run: vellora-agent "
      "code).\n";
  if (engines.empty()) {
    report += "No compiler found (latexmk + pdflatex/xelatex/lualatex, tectonic or ConTeXt).\n";
  }
  for (const auto& engine : engines) {
    std::string name(engine.name);
    if (name.size() < 8) name.resize(8, ' ');
    report += "  " + name + " " + engine.version + "\n";
  }
  return report;
}

int run_agent(const std::vector<std::string>& args) {
  const unsigned wanted_port = agent_port();
  boost::asio::io_context io;
  tcp::acceptor acceptor(io);
  boost::system::error_code ec;
  const tcp::endpoint endpoint(boost::asio::ip::make_address_v4("127.0.0.1"),
                               static_cast<unsigned short>(wanted_port));
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) platform::set_listen_options(acceptor);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(boost::asio::socket_base::max_listen_connections, ec);
  if (ec) {
    std::fprintf(stderr, "Could not listen on 127.0.0.1:%u: %s (is the agent already running?)\n",
                 wanted_port, ec.message().c_str());
    std::fflush(stderr);
    std::exit(1);
  }
  // With port 0 the system chose one: the report and the Host check use the one bound.
  const unsigned port = acceptor.local_endpoint(ec).port();
  remove_stale_blob_temporaries();
  // What the first compile would otherwise wait for, done beside the engine detection the report
  // waits for, so that it is ready before the first request can come.
  std::thread(prepare_engine_runs).detach();

  std::string report = startup_report(port, detect_engines());
  if (const auto why = platform::confinement_unavailable())
    report += "Compiles are not sandboxed: " + *why + ".\n";
  std::cout << report << std::flush;

  auto context = std::make_shared<ServerContext>();
  context->allowed_origins = allowed_origins();
  context->port = port;
  const bool tray = std::find(args.begin(), args.end(), "--no-tray") == args.end();
  start_companions(*context, port, tray);

  serve(acceptor, context, route_request);
  return 1;  // serving ends only when accepting failed for good
}

}  // namespace vellora
