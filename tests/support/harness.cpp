#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "common/base64.h"
#include "platform/crypto.h"

#ifndef VELLORA_AGENT_BINARY
#error "VELLORA_AGENT_BINARY must name the agent under test"
#endif

namespace vellora::test {
namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::asio::ip::tcp;

TempDir::TempDir() {
  std::random_device random;
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    path_ = base / ("vellora-test-" + std::to_string(random()));
    if (fs::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void write_file(const fs::path& path, std::string_view content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void write_script(const fs::path& path, std::string_view body) {
  write_file(path, "#!/bin/sh\n" + std::string(body));
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint16_t free_port() {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  return acceptor.local_endpoint().port();
}

std::string sha256_of(std::string_view content) {
  return platform::sha256_hex(content);
}

json::value HttpResponse::json() const {
  auto parsed = json::parse(body);
  return parsed;
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  if (auto v = header_value(headers, name)) return std::string(*v);
  return std::nullopt;
}

HttpResponse http_request(std::uint16_t port, const std::string& method, const std::string& target,
                          const Headers& headers, const std::string& body) {
  boost::asio::io_context io;
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  http::request<http::string_body> request;
  request.method_string(method);
  request.target(target);
  request.version(11);
  for (const auto& [name, value] : headers) request.insert(name, value);
  request.body() = body;
  if (!body.empty() || method == "POST") request.prepare_payload();
  http::write(socket, request);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(boost::none);
  http::read(socket, buffer, parser);
  HttpResponse response;
  response.status = parser.get().result_int();
  for (const auto& field : parser.get())
    response.headers.emplace_back(field.name_string(), field.value());
  response.body = parser.get().body();
  return response;
}

bool process_alive(pid_t pid) {
  const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  const auto state = stat.find(") ");
  return state != std::string::npos && stat[state + 2] != 'Z';
}

fs::path shared_texmf_var() {
  const fs::path dir = fs::temp_directory_path() / "vellora-test-texmf-var";
  fs::create_directories(dir);
  return dir;
}

Agent::Agent()
    : home_(dir_.path() / "home"),
      config_(dir_.path() / "config"),
      cache_(dir_.path() / "cache"),
      bin_(dir_.path() / "bin"),
      port_(free_port()) {
  fs::create_directories(home_);
  fs::create_directories(bin_);
  env_ = {{"HOME", home_.string()},
          {"XDG_CONFIG_HOME", config_.string()},
          {"XDG_CACHE_HOME", cache_.string()},
          {"PATH", bin_.string() + ":/usr/bin:/bin"},
          {"VELLORA_AGENT_PORT", std::to_string(port_)},
          {"TEXMFVAR", shared_texmf_var().string()},
          {"LANG", "C.UTF-8"}};
}

Agent::~Agent() {
  stop();
}

std::vector<std::string> Agent::environment() const {
  std::vector<std::string> env;
  for (const auto& [name, value] : env_) env.push_back(name + "=" + value);
  return env;
}

bool Agent::start(const std::vector<std::string>& args) {
  std::vector<std::string> argv_text{VELLORA_AGENT_BINARY};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  auto env_text = environment();
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const std::string out = (dir_.path() / "agent.out").string();
  const std::string err = (dir_.path() / "agent.err").string();
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;

  // The whole report is written at once, after the socket listens.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (output().find("To pair a browser") != std::string::npos) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exit_status_ = WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::optional<int> Agent::wait_exit() {
  if (pid_ > 0) {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    exit_status_ = WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
  }
  return exit_status_;
}

void Agent::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string Agent::output() const {
  return read_text(dir_.path() / "agent.out");
}
std::string Agent::errors() const {
  return read_text(dir_.path() / "agent.err");
}

platform::RunResult Agent::run(const std::vector<std::string>& args) const {
  // The child gets exactly this agent's environment: start from an empty one.
  platform::Command command;
  command.program = "/usr/bin/env";
  command.args = {"-i"};
  for (const auto& e : environment()) command.args.push_back(e);
  command.args.push_back(VELLORA_AGENT_BINARY);
  command.args.insert(command.args.end(), args.begin(), args.end());
  command.capture_output = true;
  platform::RunOptions options;
  options.time_limit = std::chrono::seconds(120);
  auto result = platform::run(command, options);
  return result ? *result : platform::RunResult{};
}

HttpResponse Agent::get(const std::string& target, Headers headers) const {
  if (!header_value(headers, "Host")) headers.emplace_back("Host", host());
  return http_request(port_, "GET", target, headers);
}

HttpResponse Agent::post(const std::string& target, const std::string& body,
                         Headers headers) const {
  if (!header_value(headers, "Host")) headers.emplace_back("Host", host());
  return http_request(port_, "POST", target, headers, body);
}

HttpResponse Agent::post_auth(const std::string& target, const std::string& body,
                              const std::string& token) const {
  return post(target, body,
              {{"Authorization", "Bearer " + token}, {"Content-Type", "application/json"}});
}

std::string Agent::pair(const std::string& origin) const {
  const auto code = run({"code"});
  const std::string text = code.out.substr(0, code.out.find('\n'));
  const auto reply =
      post("/v1/pair/confirm", json::serialize(json::object{{"code", text}}), {{"Origin", origin}});
  return std::string(reply.json().at("token").as_string());
}

json::array Agent::upload(const std::string& token,
                          const std::vector<std::pair<std::string, std::string>>& files) const {
  json::array blobs, refs;
  for (const auto& [path, content] : files) {
    const std::string digest = sha256_of(content);
    blobs.push_back(json::object{{"sha256", digest}, {"b64", base64_encode(content)}});
    refs.push_back(json::object{{"path", path}, {"sha256", digest}});
  }
  post_auth("/v1/blobs", json::serialize(json::object{{"blobs", blobs}}), token);
  return refs;
}

}  // namespace vellora::test

namespace vellora::test {

std::string raw_exchange(std::uint16_t port, const std::string& bytes,
                         std::chrono::milliseconds wait) {
  boost::asio::io_context io;
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  boost::asio::write(socket, boost::asio::buffer(bytes));
  socket.non_blocking(true);
  std::string received;
  char buffer[4096];
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline) {
    boost::system::error_code ec;
    const std::size_t n = socket.read_some(boost::asio::buffer(buffer), ec);
    if (ec == boost::asio::error::would_block) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (ec) break;
    received.append(buffer, n);
  }
  return received;
}

}  // namespace vellora::test

namespace vellora::test {

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

}  // namespace vellora::test
