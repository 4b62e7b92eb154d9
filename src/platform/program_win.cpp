#include <windows.h>

#include <vector>

#include "common/text.h"
#include "platform/command_line_win.h"
#include "platform/env.h"
#include "platform/program.h"
#include "platform/wide_text.h"
#include "platform/windows_error.h"

namespace vellora::platform {

namespace {

// Starts `line` as a new process group without a console window, standard streams on the given
// null handles, which are the only handles it inherits (never the agent's socket).
std::expected<void, std::string> start_detached_line(const std::filesystem::path& program,
                                                     std::wstring line, HANDLE null_in,
                                                     HANDLE null_out) {
  HANDLE inherited[2] = {null_in, null_out};
  SIZE_T attr_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_size);
  std::vector<char> attr_storage(attr_size);
  auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_storage.data());
  const bool have_list = InitializeProcThreadAttributeList(attrs, 1, 0, &attr_size) &&
                         UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                   inherited, sizeof inherited, nullptr, nullptr);
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = null_in;
  si.StartupInfo.hStdOutput = null_out;
  si.StartupInfo.hStdError = null_out;
  si.lpAttributeList = have_list ? attrs : nullptr;
  PROCESS_INFORMATION pi{};
  const DWORD flags =
      CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | (have_list ? EXTENDED_STARTUPINFO_PRESENT : 0);
  const BOOL ok = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, have_list, flags,
                                 nullptr, nullptr, &si.StartupInfo, &pi);
  const DWORD error = GetLastError();
  if (have_list) DeleteProcThreadAttributeList(attrs);
  if (!ok) return std::unexpected(windows_error_text(error));
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return {};
}

}  // namespace

std::expected<std::filesystem::path, std::string> current_exe() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::unexpected(windows_error_text(GetLastError()));
    if (n < buffer.size()) {
      buffer.resize(n);
      return std::filesystem::path(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::filesystem::path system_program(std::string_view name) {
  const std::wstring file = widen(name) + L".exe";
  if (const auto stand_ins = get_env_path("VELLORA_SYSTEM_PROGRAMS"))
    return (*stand_ins / file).make_preferred();
  wchar_t buffer[MAX_PATH];
  const UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
  const std::filesystem::path dir = n > 0 && n < MAX_PATH
                                        ? std::filesystem::path(std::wstring(buffer, n))
                                        : std::filesystem::path(L"C:\\Windows\\System32");
  return (dir / file).make_preferred();
}

std::expected<bool, std::string> remove_own_file(const std::filesystem::path& file) {
  if (DeleteFileW(file.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return false;
  // cmd reads these paths itself: one holding a character it would act on is left alone.
  const std::filesystem::path preferred = std::filesystem::path(file).make_preferred();
  const std::wstring target = preferred.native();
  const std::wstring folder = preferred.parent_path().native();
  const std::wstring ping = system_program("ping").native();
  for (const auto& text : {target, folder, ping})
    if (text.find_first_of(L"%!^&|<>()\"\r\n") != std::wstring::npos)
      return std::unexpected("its path holds characters cmd would read as commands");
  // A pause of about two seconds lets this process end first (it ends right after saying so).
  if (ping.find(L' ') != std::wstring::npos)
    return std::unexpected(std::string("the system folder's path holds a space"));
  std::wstring line = L"/d /q /c \"" + ping + L" -n 3 127.0.0.1 >NUL & del /f /q \"" + target +
                      L"\" >NUL 2>&1 & rmdir \"" + folder + L"\" >NUL 2>&1\"";
  const std::filesystem::path cmd = system_program("cmd");
  std::wstring full;
  append_quoted_argument(full, cmd.native());
  full += L' ';
  full += line;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr);
  const HANDLE null_out = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inherit, OPEN_EXISTING, 0, nullptr);
  const auto started = start_detached_line(cmd, full, null_in, null_out);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
  if (null_out != INVALID_HANDLE_VALUE) CloseHandle(null_out);
  if (!started) return std::unexpected(started.error());
  return true;
}

std::uint64_t current_pid() {
  return GetCurrentProcessId();
}

bool stdin_is_terminal() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
  const DWORD type = GetFileType(input);
  if (type == FILE_TYPE_CHAR) {
    DWORD mode = 0;
    return GetConsoleMode(input, &mode) != 0;
  }
  if (type != FILE_TYPE_PIPE) return false;
  // MSYS and Cygwin terminals hand programs a named pipe such as
  // \msys-1888ae32e00d56aa-pty0-from-master.
  constexpr DWORD size = sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t);
  alignas(FILE_NAME_INFO) char storage[size];
  auto* info = reinterpret_cast<FILE_NAME_INFO*>(storage);
  if (!GetFileInformationByHandleEx(input, FileNameInfo, info, size)) return false;
  const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
  const bool terminal_pipe =
      name.find(L"msys-") != std::wstring::npos || name.find(L"cygwin-") != std::wstring::npos;
  return terminal_pipe && name.find(L"-pty") != std::wstring::npos;
}

std::expected<void, std::string> make_executable(const std::filesystem::path&) {
  return {};
}

std::expected<void, std::string> start_in_background(const std::filesystem::path& program,
                                                     const std::vector<std::string>& args) {
  std::wstring line;
  append_quoted_argument(line, program.native());
  for (const auto& arg : args) {
    line += L' ';
    append_quoted_argument(line, widen(arg));
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr);
  const HANDLE null_out = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inherit, OPEN_EXISTING, 0, nullptr);
  const auto started = start_detached_line(program, line, null_in, null_out);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
  if (null_out != INVALID_HANDLE_VALUE) CloseHandle(null_out);
  return started;
}

}  // namespace vellora::platform
