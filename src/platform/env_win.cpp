#include <windows.h>
// shellapi.h needs the types of windows.h.
#include <shellapi.h>

#include "common/text.h"
#include "platform/env.h"
#include "platform/wide_text.h"

namespace vellora::platform {

std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

namespace {

std::optional<std::wstring> get_env_wide(const std::string& name) {
  const std::wstring wname = widen(name);
  const DWORD size = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (size == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::wstring();
  }
  std::wstring value(size, L'\0');
  const DWORD got = GetEnvironmentVariableW(wname.c_str(), value.data(), size);
  value.resize(got);
  return value;
}

}  // namespace

std::optional<EnvValue> get_env(const std::string& name) {
  const auto wide = get_env_wide(name);
  if (!wide) return std::nullopt;
  if (wide->empty()) return EnvValue{"", true};
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide->data(),
                                    static_cast<int>(wide->size()), nullptr, 0, nullptr, nullptr);
  if (n == 0) return EnvValue{path_text(std::filesystem::path(*wide)), false};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide->data(), static_cast<int>(wide->size()), out.data(), n,
                      nullptr, nullptr);
  return EnvValue{out, true};
}

std::vector<std::string> env_names() {
  std::vector<std::string> names;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) {
    const std::wstring entry(p);
    const std::size_t eq = entry.find(L'=', 1);  // names like "=C:" start with "="
    if (eq != std::wstring::npos)
      names.push_back(path_text(std::filesystem::path(entry.substr(0, eq))));
  }
  FreeEnvironmentStringsW(block);
  return names;
}

std::vector<std::string> system_env_names() {
  return {"SystemRoot",
          "SystemDrive",
          "windir",
          "ComSpec",
          "PATHEXT",
          "TEMP",
          "TMP",
          "USERPROFILE",
          "APPDATA",
          "LOCALAPPDATA",
          "ProgramData",
          "ProgramFiles",
          "ProgramFiles(x86)",
          "CommonProgramFiles",
          "HOMEDRIVE",
          "HOMEPATH",
          "USERNAME",
          "NUMBER_OF_PROCESSORS",
          "PROCESSOR_ARCHITECTURE",
          "OS"};
}

std::optional<std::filesystem::path> get_env_path(const std::string& name) {
  const auto wide = get_env_wide(name);
  if (!wide) return std::nullopt;
  return std::filesystem::path(*wide);
}

char path_list_separator() {
  return ';';
}

std::vector<std::filesystem::path> split_path_list(const std::string& value) {
  // Entries are separated by ";" outside double quotes; the quotes themselves are removed.
  std::vector<std::filesystem::path> entries;
  std::string current;
  bool quoted = false;
  for (char c : value) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ';' && !quoted) {
      entries.emplace_back(widen(current));
      current.clear();
    } else {
      current += c;
    }
  }
  entries.emplace_back(widen(current));
  return entries;
}

std::string join_path_list(const std::vector<std::filesystem::path>& entries) {
  std::string out;
  bool first = true;
  for (const auto& entry : entries) {
    const std::string text = path_text(entry);
    if (text.empty() || text.find('"') != std::string::npos) continue;
    if (!first) out += ';';
    out += text.find(';') != std::string::npos ? '"' + text + '"' : text;
    first = false;
  }
  return out;
}

bool is_runnable_file(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

std::string path_text(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

void prepare_runtime() {
  // DLLs loaded later come from System32 only, never from the agent's folder (a Downloads folder
  // may hold anything) or the working directory.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");
  SetConsoleOutputCP(CP_UTF8);
}

bool on_windows() {
  return true;
}

std::vector<std::string> program_arguments(int, char**) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(path_text(std::filesystem::path(wide[i])));
  LocalFree(wide);
  return args;
}

const char* null_device() {
  return "NUL";
}

}  // namespace vellora::platform
