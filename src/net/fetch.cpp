#include "net/fetch.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <vector>

#include "common/text.h"
#include "platform/env.h"
#include "platform/program.h"

namespace vellora::net {
namespace fs = std::filesystem;
namespace {

const char* program_name(Downloader downloader) {
  return downloader == Downloader::Curl ? "curl" : "wget";
}

}  // namespace

fs::path downloader_program(Downloader downloader) {
  return locate_downloader(program_name(downloader)).value_or(program_name(downloader));
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

std::optional<fs::path> locate_downloader(const std::string& name) {
  if (platform::on_windows() && name == "curl") {
    std::error_code ec;
    fs::path system = platform::system_program("curl");
    if (fs::is_regular_file(system, ec)) return system;
  }
  return locate_program(name);
}

Downloader preferred_downloader() {
  return locate_downloader("curl") ? Downloader::Curl : Downloader::Wget;
}

std::expected<DownloaderProgram, std::string> find_downloader(
    const std::function<std::optional<fs::path>(const std::string&)>& locate) {
  if (auto curl = locate("curl")) return DownloaderProgram{Downloader::Curl, std::move(*curl)};
  if (auto wget = locate("wget")) return DownloaderProgram{Downloader::Wget, std::move(*wget)};
  if (platform::on_windows())
    return std::unexpected(std::string(
        "neither curl nor wget was found on PATH: curl.exe comes with Windows 10 and later (in "
        "C:\\Windows\\System32); install curl or wget, or add the folder that holds one to PATH"));
  return std::unexpected(std::string(
      "neither curl nor wget was found (in PATH, /usr/bin, /bin or /usr/local/bin): install one of "
      "them with the system's package manager, for example: sudo apt install curl (Debian, "
      "Ubuntu), sudo dnf install curl (Fedora), sudo pacman -S curl (Arch)"));
}

std::string last_error_line(std::string_view output) {
  for (std::string_view rest = output; !rest.empty();) {
    const std::size_t end = rest.find_last_not_of("\r\n \t");
    if (end == std::string_view::npos) break;
    rest = rest.substr(0, end + 1);
    const std::size_t start = rest.find_last_of("\r\n");
    const std::string_view line =
        trim(start == std::string_view::npos ? rest : rest.substr(start + 1));
    // tar closes with a summary that names no cause; the line before it does.
    const bool summary = line.find("Exiting with failure status") != std::string_view::npos ||
                         line.find("Error is not recoverable") != std::string_view::npos ||
                         line.find("Child returned status") != std::string_view::npos;
    if (!line.empty() && !summary) return utf8_lossy(line);
    rest = rest.substr(0, start);
  }
  return {};
}

std::chrono::seconds download_stall_limit() {
  std::uint64_t seconds = 60;
  if (const auto value = platform::get_env("VELLORA_DOWNLOAD_STALL_SECS")) {
    std::uint64_t parsed = 0;
    const std::string& text = value->text;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (!text.empty() && ec == std::errc() && end == text.data() + text.size() && parsed > 0)
      seconds = std::min<std::uint64_t>(parsed, 86400);
  }
  return std::chrono::seconds(seconds);
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
                                   const fs::path& destination, const std::string& url,
                                   ToolOutput output) {
  platform::Command command;
  command.program = program;
  const std::string dest = platform::path_text(destination);
  const std::string stall = std::to_string(download_stall_limit().count());
  if (downloader == Downloader::Curl) {
    command.args = {"-fL", "--retry",
                    "5",   "--retry-delay",
                    "3",   "--speed-limit",
                    "1",   "--speed-time",
                    stall, "-C",
                    "-",   "-o",
                    dest,  url};
  } else {
    command.args = {"-c", "--tries=6", "--waitretry=3", "--read-timeout=" + stall};
    // Not at a terminal of its own, wget would print a line of dots for every 50 KiB.
    if (output == ToolOutput::Shown) command.args.push_back("--progress=bar:force");
    command.args.insert(command.args.end(), {"-O", dest, url});
  }
  // Captured for the error message; also shown as it comes when a user watches.
  command.capture_output = true;
  command.no_window = true;
  return command;
}

std::expected<std::string, std::string> fetch_text(const std::string& url) {
  const auto found = find_downloader();
  if (!found) return std::unexpected(found.error());
  return fetch_text_with(found->downloader, found->program, url);
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

std::expected<void, std::string> download_file(const std::string& url, const fs::path& destination,
                                               ToolOutput output) {
  const auto found = find_downloader();
  if (!found) return std::unexpected(found.error());
  return download_file_with(found->downloader, found->program, url, destination, DOWNLOAD_LIMIT,
                            output);
}

std::expected<void, std::string> download_file_with(Downloader downloader, const fs::path& program,
                                                    const std::string& url,
                                                    const fs::path& destination,
                                                    std::chrono::milliseconds limit,
                                                    ToolOutput output) {
  platform::RunOptions options;
  options.time_limit = limit;
  options.output_limit = 65536;
  options.echo_output = output == ToolOutput::Shown;
  const auto result =
      platform::run(download_command(downloader, program, destination, url, output), options);
  if (!result) return std::unexpected(result.error());
  if (!result->success()) {
    std::string line = last_error_line(result->err);
    if (line.empty() && result->timed_out)
      line = "still running after " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
             " seconds";
    return std::unexpected("the download failed" + (line.empty() ? "" : " (" + line + ")"));
  }
  return {};
}

}  // namespace vellora::net
