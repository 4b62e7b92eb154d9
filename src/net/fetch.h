#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/process.h"

namespace vellora::net {

// The program file a bare name stands for: "<name>.exe", "<name>.bat", then "<name>" in every
// absolute PATH entry, then in /usr/bin, /bin and /usr/local/bin. None when nothing is there.
std::optional<std::filesystem::path> locate_program(const std::string& name);
bool program_on_path(const std::string& name);

// The outside program that does the downloading: curl when it is found, else wget.
enum class Downloader { Curl, Wget };
Downloader preferred_downloader();

// A downloader's file: on Windows, curl.exe of the system folder (Windows 10 and later ship it)
// by its full path, like the other system programs; PATH is searched only where the system has
// none, and for wget. Elsewhere as locate_program.
std::optional<std::filesystem::path> locate_downloader(const std::string& name);

// The downloader to run and its file, or an error that names what to install when neither curl
// nor wget is found. `locate` finds a program (locate_downloader outside tests).
struct DownloaderProgram {
  Downloader downloader;
  std::filesystem::path program;
};
std::expected<DownloaderProgram, std::string> find_downloader(
    const std::function<std::optional<std::filesystem::path>(const std::string&)>& locate =
        locate_downloader);

// Where an outside tool's own words go. Captured: kept for the error message only (inside the
// agent). Shown: also copied to this process's standard output and error as they come, so that a
// user at a terminal sees the progress of a long download.
enum class ToolOutput { Captured, Shown };

// The last line an outside tool wrote (the last of the redrawn parts of a progress line), trimmed,
// passing over tar's closing summaries; empty when it wrote nothing. Failure messages end with it.
std::string last_error_line(std::string_view output);

// A download that receives nothing for this long is abandoned (curl's and wget's own low-speed
// limits): VELLORA_DOWNLOAD_STALL_SECS, 60 unless set.
std::chrono::seconds download_stall_limit();

// The fixed command lines (the URL last); `program` is the file to run.
platform::Command fetch_command(Downloader downloader, const std::filesystem::path& program,
                                const std::string& url);
platform::Command download_command(Downloader downloader, const std::filesystem::path& program,
                                   const std::filesystem::path& destination, const std::string& url,
                                   ToolOutput output = ToolOutput::Captured);

// The response body as text (invalid UTF-8 replaced), or an error text.
std::expected<std::string, std::string> fetch_text(const std::string& url);
// A downloader still running at the time limit is ended with its process tree: a server that
// stops sending would otherwise keep it waiting for ever.
inline constexpr std::chrono::seconds FETCH_LIMIT{120};
inline constexpr std::chrono::seconds DOWNLOAD_LIMIT{3600};

std::expected<std::string, std::string> fetch_text_with(
    Downloader downloader, const std::filesystem::path& program, const std::string& url,
    std::chrono::milliseconds limit = FETCH_LIMIT);

// Downloads into the file, continuing what is already there. A failure reads "the download
// failed (<the downloader's last line>)".
std::expected<void, std::string> download_file(const std::string& url,
                                               const std::filesystem::path& destination,
                                               ToolOutput output = ToolOutput::Captured);
std::expected<void, std::string> download_file_with(
    Downloader downloader, const std::filesystem::path& program, const std::string& url,
    const std::filesystem::path& destination, std::chrono::milliseconds limit = DOWNLOAD_LIMIT,
    ToolOutput output = ToolOutput::Captured);

// The file that runs for a downloader: the one found, or the bare name, so that a missing program
// gives the system's own "not found" text.
std::filesystem::path downloader_program(Downloader downloader);


}  // namespace vellora::net
