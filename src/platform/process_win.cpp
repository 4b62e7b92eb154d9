#include <windows.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "common/text.h"
#include "platform/command_line_win.h"
#include "platform/env.h"
#include "platform/process.h"
#include "platform/program.h"
#include "platform/running_trees.h"
#include "platform/wide_text.h"
#include "platform/windows_error.h"

namespace vellora::platform {
namespace {

struct Handle {
  HANDLE h = nullptr;
  Handle() = default;
  explicit Handle(HANDLE x) : h(x == INVALID_HANDLE_VALUE ? nullptr : x) {}
  Handle(Handle&& o) noexcept : h(std::exchange(o.h, nullptr)) {}
  Handle& operator=(Handle&& o) noexcept {
    reset();
    h = std::exchange(o.h, nullptr);
    return *this;
  }
  ~Handle() { reset(); }
  void reset() {
    if (h != nullptr) CloseHandle(h);
    h = nullptr;
  }
};

bool is_batch_file(const std::filesystem::path& program) {
  const std::string ext = to_lower_ascii(path_text(program.extension()));
  return ext == ".bat" || ext == ".cmd";
}

// cmd.exe reads the command line of a batch program before the program does: "&", "|", "<", ">",
// "(", ")" would start other commands, "^" escapes, "%" and "!" expand variables. Every argument
// is therefore quoted for the C runtime and then has cmd's characters, quotes included, escaped
// with "^", so that cmd hands the quoted argument to the batch program unchanged. "%" and "!"
// cannot be escaped reliably there, and a quote or line break inside an argument would end the
// quoting for the batch program itself: such arguments are refused.
std::expected<void, std::string> check_batch_text(std::wstring_view text,
                                                  const std::filesystem::path& program) {
  if (text.find_first_of(L"%!\"\r\n") == std::wstring_view::npos) return {};
  return std::unexpected("cannot pass \"" + path_text(std::filesystem::path(std::wstring(text))) +
                         "\" to the batch program " + path_text(program.filename()) +
                         ": it holds %, !, a double quote or a line break");
}

void append_caret_escaped(std::wstring& line, const std::wstring& text) {
  for (wchar_t c : text) {
    if (std::wstring_view(L"()%!^\"<>&|").find(c) != std::wstring_view::npos) line += L'^';
    line += c;
  }
}

std::expected<std::wstring, std::string> build_command_line(const Command& command) {
  std::wstring line;
  if (!is_batch_file(command.program)) {
    append_quoted_argument(line, command.program.native());
    for (const auto& arg : command.args) {
      line += L' ';
      append_quoted_argument(line, widen(arg));
    }
    return line;
  }
  // cmd /s /c "<line>": cmd removes the outer quotes and runs the rest.
  if (auto checked = check_batch_text(command.program.native(), command.program); !checked)
    return std::unexpected(checked.error());
  line = L"cmd.exe /d /s /c \"\"" + command.program.native() + L"\"";
  for (const auto& arg : command.args) {
    const std::wstring wide = widen(arg);
    if (auto checked = check_batch_text(wide, command.program); !checked)
      return std::unexpected(checked.error());
    std::wstring quoted = L"\"";
    quoted += wide;
    // Backslashes before the closing quote are doubled, as the C runtime expects.
    const std::size_t trailing = wide.size() - (wide.find_last_not_of(L'\\') + 1);
    quoted.append(trailing, L'\\');
    quoted += L'"';
    line += L' ';
    append_caret_escaped(line, quoted);
  }
  line += L'"';
  return line;
}

struct NameLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
  }
};

std::wstring build_environment_block(const Command& command) {
  std::map<std::wstring, std::wstring, NameLess> vars;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; command.inherit_environment && *p != L'\0'; p += wcslen(p) + 1) {
    const std::wstring entry(p);
    const std::size_t eq = entry.find(L'=', 1);  // names like "=C:" start with "="
    if (eq == std::wstring::npos) continue;
    vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  FreeEnvironmentStringsW(block);
  for (const auto& [key, value] : command.env) vars[widen(key)] = widen(value);
  std::wstring out;
  for (const auto& [key, value] : vars) {
    out += key + L"=" + value;
    out += L'\0';
  }
  out += L'\0';
  return out;
}

struct Started {
  Handle process, thread, job;
  DWORD pid = 0;
  Handle stdin_write, stdout_read, stderr_read;
};

std::expected<Started, std::string> start(const Command& command, bool contain) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle null_in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr));
  Handle null_out(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr));
  Started started;
  Handle child_in, child_out, child_err;
  if (command.input) {
    HANDLE r, w;
    if (!CreatePipe(&r, &w, &inherit, 0))
      return std::unexpected(windows_error_text(GetLastError()));
    child_in = Handle(r);
    started.stdin_write = Handle(w);
    SetHandleInformation(w, HANDLE_FLAG_INHERIT, 0);
  }
  if (command.capture_output) {
    HANDLE r, w;
    if (!CreatePipe(&r, &w, &inherit, 0))
      return std::unexpected(windows_error_text(GetLastError()));
    started.stdout_read = Handle(r);
    child_out = Handle(w);
    SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
    if (!CreatePipe(&r, &w, &inherit, 0))
      return std::unexpected(windows_error_text(GetLastError()));
    started.stderr_read = Handle(r);
    child_err = Handle(w);
    SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
  }
  HANDLE std_handles[3] = {child_in.h ? child_in.h : null_in.h,
                           child_out.h ? child_out.h : null_out.h,
                           child_err.h ? child_err.h : null_out.h};

  // Only these handles reach the child, so that a pipe of a concurrent run is never inherited.
  HANDLE unique_handles[3];
  DWORD unique_count = 0;
  for (HANDLE h : std_handles)
    if (std::find(unique_handles, unique_handles + unique_count, h) ==
        unique_handles + unique_count)
      unique_handles[unique_count++] = h;
  SIZE_T attr_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_size);
  std::vector<char> attr_storage(attr_size);
  auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_storage.data());
  if (!InitializeProcThreadAttributeList(attrs, 1, 0, &attr_size))
    return std::unexpected(windows_error_text(GetLastError()));
  if (!UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, unique_handles,
                                 unique_count * sizeof(HANDLE), nullptr, nullptr)) {
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attrs);
    return std::unexpected(windows_error_text(error));
  }

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  // Without the list attached, the child would inherit every inheritable handle of the agent.
  si.lpAttributeList = attrs;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = std_handles[0];
  si.StartupInfo.hStdOutput = std_handles[1];
  si.StartupInfo.hStdError = std_handles[2];

  auto built = build_command_line(command);
  if (!built) return std::unexpected(built.error());
  std::wstring line = std::move(*built);
  std::wstring env = build_environment_block(command);
  std::wstring application;
  if (is_batch_file(command.program)) application = system_program("cmd").native();
  DWORD flags = CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT;
  if (command.no_window) flags |= CREATE_NO_WINDOW;
  if (command.low_priority) flags |= IDLE_PRIORITY_CLASS;
  if (contain) flags |= CREATE_SUSPENDED;
  PROCESS_INFORMATION pi{};
  const std::wstring cwd = command.cwd.native();
  const BOOL ok = CreateProcessW(application.empty() ? nullptr : application.c_str(), line.data(),
                                 nullptr, nullptr, TRUE, flags, env.data(),
                                 cwd.empty() ? nullptr : cwd.c_str(), &si.StartupInfo, &pi);
  const DWORD error = GetLastError();
  DeleteProcThreadAttributeList(attrs);
  if (!ok) return std::unexpected(windows_error_text(error));
  started.process = Handle(pi.hProcess);
  started.thread = Handle(pi.hThread);
  started.pid = pi.dwProcessId;
  if (contain) {
    // A job object whose last handle's closing kills every process still in it.
    started.job = Handle(CreateJobObjectW(nullptr, nullptr));
    if (started.job.h) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(started.job.h, JobObjectExtendedLimitInformation, &limits,
                              sizeof limits);
      AssignProcessToJobObject(started.job.h, started.process.h);
    }
    ResumeThread(started.thread.h);
  }
  return started;
}

// `echo`: this process's own stream that also gets what arrives, or none.
void read_all(HANDLE pipe, std::string& into, std::size_t limit, HANDLE echo) {
  char buffer[65536];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    if (echo != nullptr && echo != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      (void)WriteFile(echo, buffer, n, &written, nullptr);
    }
    into.append(buffer, n);
    if (into.size() > 2 * limit + 65536) into.erase(0, into.size() - limit);
  }
  if (into.size() > limit) into.erase(0, into.size() - limit);
}

void kill_tree(DWORD pid) {
  Command taskkill;
  taskkill.program = system_program("taskkill");
  taskkill.args = {"/F", "/T", "/PID", std::to_string(pid)};
  taskkill.no_window = true;
  RunOptions options;
  options.contain = false;
  options.time_limit = std::chrono::seconds(30);
  (void)run(taskkill, options);
}

}  // namespace

std::expected<RunResult, std::string> run(const Command& command, const RunOptions& options) {
  const ThreadRuns* scope = ThreadRuns::current();
  const bool scoped = options.cancellation == nullptr && options.contain && scope != nullptr;
  Cancellation* cancellation = scoped ? &scope->cancellation() : options.cancellation;
  RunResult result;
  if (cancellation != nullptr && cancellation->cancelled()) {
    result.cancelled = true;
    return result;
  }
  if (scoped) scope->started(command);
  auto started = start(command, options.contain);
  if (!started) return std::unexpected(started.error());
  RunningTree tree = !options.contain ? RunningTree()
                     : started->job.h
                         ? RunningTree([job = started->job.h] { TerminateJobObject(job, 1); })
                         : RunningTree([pid = started->pid] { kill_tree(pid); });
  // The open process handle keeps its id from being reused until the handle closes below.
  std::atomic<bool> killed = false;
  const auto kill = [&killed, job = started->job.h, process = started->process.h,
                     pid = started->pid] {
    killed = true;
    if (job != nullptr) {
      TerminateJobObject(job, 1);
    } else {
      kill_tree(pid);
      TerminateProcess(process, 1);
    }
  };
  if (cancellation != nullptr && !cancellation->attach(kill)) kill();
  std::thread out_reader, err_reader, writer;
  if (started->stdout_read.h) {
    const auto echo_to = [&](DWORD stream) {
      return options.echo_output ? GetStdHandle(stream) : nullptr;
    };
    out_reader = std::thread(read_all, started->stdout_read.h, std::ref(result.out),
                             options.output_limit, echo_to(STD_OUTPUT_HANDLE));
    err_reader = std::thread(read_all, started->stderr_read.h, std::ref(result.err),
                             options.output_limit, echo_to(STD_ERROR_HANDLE));
  }
  if (started->stdin_write.h) {
    // The writer owns its pipe end and text: it may outlive this call when the child is left
    // running.
    writer =
        std::thread([pipe = std::move(started->stdin_write), input = *command.input]() mutable {
          std::string_view rest(input);
          while (!rest.empty()) {
            DWORD n = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1 << 20));
            if (!WriteFile(pipe.h, rest.data(), chunk, &n, nullptr)) break;
            rest.remove_prefix(n);
          }
          pipe.reset();
        });
  }
  const DWORD wait_ms =
      options.time_limit
          ? static_cast<DWORD>(std::min<long long>(options.time_limit->count(), 0xFFFFFFF0))
          : INFINITE;
  const DWORD waited = WaitForSingleObject(started->process.h, wait_ms);
  if (cancellation != nullptr) cancellation->detach();
  if (waited == WAIT_TIMEOUT) {
    result.timed_out = true;
    if (options.contain) {
      kill_tree(started->pid);
      TerminateProcess(started->process.h, 1);
      WaitForSingleObject(started->process.h, INFINITE);
    }
  } else {
    DWORD code = 0;
    if (GetExitCodeProcess(started->process.h, &code)) result.exit_code = static_cast<int>(code);
  }
  // Whatever the child left behind ends with it.
  if (options.contain && started->job.h) TerminateJobObject(started->job.h, 1);
  if (writer.joinable()) {
    // A child that ended closed its end of the pipe, so the writer is done or about to be.
    if (result.timed_out && !options.contain) {
      writer.detach();
    } else {
      writer.join();
    }
  }
  if (out_reader.joinable()) out_reader.join();
  if (err_reader.joinable()) err_reader.join();
  result.cancelled = killed;
  if (result.cancelled) result.exit_code.reset();
  return result;
}

std::expected<void, std::string> spawn_detached(const Command& command) {
  auto started = start(command, /*contain=*/false);
  if (!started) return std::unexpected(started.error());
  return {};
}

}  // namespace vellora::platform
