#include "net/fetch.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <vector>

#include "common/text.h"
#include "platform/crypto.h"
#include "platform/env.h"

namespace vellora::net {
namespace fs = std::filesystem;
namespace {

const char* program_name(Downloader downloader) {
  return downloader == Downloader::Curl ? "curl" : "wget";
}

}  // namespace

fs::path downloader_program(Downloader downloader) {
  return locate_program(program_name(downloader)).value_or(program_name(downloader));
}

std::optional<fs::path> locate_program(const std::string& name) {
  std::vector<fs::path> dirs;
  if (const auto path = platform::get_env("PATH")) {
    // A relative entry (an empty one means the current directory) would run whatever program
    // of that name lies in the directory the command happens to be started from.
    for (auto& entry : platform::split_path_list(path->text))
      if (entry.is_absolute()) dirs.push_back(std::move(entry));
  }
  for (const char* fixed : {"/usr/bin", "/bin", "/usr/local/bin"}) dirs.emplace_back(fixed);
  for (const auto& dir : dirs) {
    for (const std::string& candidate : {name + ".exe", name + ".bat", name}) {
      std::error_code ec;
      const fs::path file = dir / candidate;
      if (fs::is_regular_file(file, ec)) return file;
    }
  }
  return std::nullopt;
}

bool program_on_path(const std::string& name) {
  return locate_program(name).has_value();
}

Downloader preferred_downloader() {
  return program_on_path("curl") ? Downloader::Curl : Downloader::Wget;
}

platform::Command fetch_command(Downloader downloader, const fs::path& program,
                                const std::string& url) {
  platform::Command command;
  command.program = program;
  if (downloader == Downloader::Curl) {
    command.args = {"-fsSL",
                    "--max-time",
                    "30",
                    "-H",
                    "Accept: application/vnd.github+json",
                    "-H",
                    "User-Agent: vellora-agent",
                    url};
  } else {
    command.args = {"-qO-", "--timeout=30", "--header=Accept: application/vnd.github+json",
                    "--user-agent=vellora-agent", url};
  }
  command.input = "";
  command.capture_output = true;
  command.no_window = true;
  return command;
}

platform::Command download_command(Downloader downloader, const fs::path& program,
                                   const fs::path& destination, const std::string& url) {
  platform::Command command;
  command.program = program;
  const std::string dest = platform::path_text(destination);
  if (downloader == Downloader::Curl) {
    command.args = {"-fL", "--retry", "5", "--retry-delay", "3", "-C", "-", "-o", dest, url};
  } else {
    command.args = {"-c", "--tries=6", "--waitretry=3", "-O", dest, url};
  }
  // Progress goes nowhere: the process layer keeps children off the agent's own streams.
  command.capture_output = true;
  command.no_window = true;
  return command;
}

std::expected<std::string, std::string> fetch_text(const std::string& url) {
  const Downloader downloader = preferred_downloader();
  return fetch_text_with(downloader, downloader_program(downloader), url);
}

std::expected<std::string, std::string> fetch_text_with(Downloader downloader,
                                                        const fs::path& program,
                                                        const std::string& url,
                                                        std::chrono::milliseconds limit) {
  platform::RunOptions options;
  options.time_limit = limit;
  const auto result = platform::run(fetch_command(downloader, program, url), options);
  if (!result) return std::unexpected(result.error());
  if (!result->success()) return std::unexpected("could not query " + url + " (no internet?)");
  return utf8_lossy(result->out);
}

std::expected<void, std::string> download_file(const std::string& url,
                                               const fs::path& destination) {
  const Downloader downloader = preferred_downloader();
  return download_file_with(downloader, downloader_program(downloader), url, destination);
}

std::expected<void, std::string> download_file_with(Downloader downloader, const fs::path& program,
                                                    const std::string& url,
                                                    const fs::path& destination,
                                                    std::chrono::milliseconds limit) {
  platform::RunOptions options;
  options.time_limit = limit;
  options.output_limit = 65536;
  const auto result =
      platform::run(download_command(downloader, program, destination, url), options);
  if (!result) return std::unexpected(result.error());
  if (!result->success()) return std::unexpected(std::string("the download failed"));
  return {};
}

std::expected<std::string, std::string> sha256_file(const fs::path& path) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected(std::string(std::strerror(errno ? errno : ENOENT)));
  platform::Sha256 hash;
  std::vector<char> buffer(65536);
  while (in) {
    errno = 0;
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.bad()) return std::unexpected(std::string(std::strerror(errno ? errno : EIO)));
    hash.update(std::string_view(buffer.data(), static_cast<std::size_t>(in.gcount())));
  }
  const auto digest = hash.finish();
  return hex_lower(digest.data(), digest.size());
}

}  // namespace vellora::net
