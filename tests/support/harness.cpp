#include "harness.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "common/base64.h"
#include "platform/crypto.h"
#include "platform/env.h"

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

void write_batch(const fs::path& path, std::string_view body) {
  std::string text = "@echo off\r\n";
  for (char c : body) {
    if (c == '\n') text += '\r';
    text += c;
  }
  write_file(path, text);
}

std::string path_list(const std::vector<fs::path>& dirs) {
  std::string out;
  for (const auto& dir : dirs) {
    if (!out.empty()) out += platform::path_list_separator();
    out += platform::path_text(dir);
  }
  return out;
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

std::string compile_body(const std::string& project, const std::string& main_file,
                         const json::array& files, const std::string& engine) {
  return json::serialize(json::object{{"project", project},
                                      {"mainFile", main_file},
                                      {"files", files},
                                      {"engine", engine},
                                      {"installMissing", false}});
}

bool compile_main_tex(Agent& agent, const std::string& token, const std::string& project,
                      const json::array& files) {
  const auto reply = agent.post_auth(
      "/v1/compile", compile_body(project, "main.tex", files, "agent-pdflatex"), token);
  if (reply.status == 200 && reply.json().at("success") == true) return true;
  std::fprintf(stderr, "compile failed: %s\n", reply.body.substr(0, 2000).c_str());
  return false;
}

fs::path shared_texmf_var() {
  const fs::path dir = fs::temp_directory_path() / "vellora-test-texmf-var";
  fs::create_directories(dir);
  return dir;
}

platform::Command latexmk_alone(const fs::path& work) {
  fs::create_directories(work / "_out");
  platform::Command latexmk;
  latexmk.program = "latexmk";
  latexmk.args = {"-norc",
                  "-pdf",
                  "-interaction=nonstopmode",
                  "-halt-on-error",
                  "-synctex=1",
                  "-file-line-error",
                  "-pdflatex=pdflatex -no-shell-escape %O %S",
                  "-outdir=" + (work / "_out").string(),
                  "main.tex"};
  latexmk.cwd = work;
  latexmk.capture_output = true;
  latexmk.env = {{"TEXMFVAR", shared_texmf_var().string()}};
  return latexmk;
}

// Console text: Windows programs end their lines with CRLF, which tests compare as "\n".
std::string console_text(std::string text) {
  if (!platform::on_windows()) return text;
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  return out;
}

std::string Agent::output() const {
  return console_text(read_text(dir_.path() / "agent.out"));
}
std::string Agent::errors() const {
  return console_text(read_text(dir_.path() / "agent.err"));
}

platform::Command Agent::command(const fs::path& program,
                                 const std::vector<std::string>& args) const {
  platform::Command command;
  command.program = program;
  command.args = args;
  for (const auto& [name, value] : env_) command.env.emplace_back(name, value);
  command.capture_output = true;
  return command;
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
                         std::chrono::milliseconds wait, bool end_sending) {
  boost::asio::io_context io;
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  boost::asio::write(socket, boost::asio::buffer(bytes));
  if (end_sending) socket.shutdown(tcp::socket::shutdown_send);
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
