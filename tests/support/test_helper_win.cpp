// A small Windows program the tests start where a POSIX test would use the shell:
//   test_helper sleep                 sleeps (for a long time)
//   test_helper tree <file>           starts a sleeping child, writes its id to <file>, prints
//                                     "started" and sleeps
//   test_helper orphan <file>         starts a sleeping child, writes its id to <file>, exits 0
//   test_helper self <file>           writes its own id to <file> and sleeps
//   test_helper flood                 prints 50,000,000 zero bytes, then "END"
//   test_helper record <file> args... writes each argument as "[arg]" to <file> (UTF-8)
//   test_helper stdin <file>          copies standard input to <file>
//   test_helper huge <dir>            writes <dir>\main.log ("LOG-START", 30,000,000 "x",
//   "LOG-END")
//                                     and <dir>\main.pdf ("%PDF-1.5", 210 MiB in all)
//   test_helper append <file> args... appends the arguments, joined by spaces, as a line to <file>
// Copied as clip.exe it is a stand-in clipboard program: it copies standard input to clip.stdin
// beside itself and writes its id to clip.pid; FAKE_CLIP=fail makes it exit 1, FAKE_CLIP=linger
// keeps it running (as clipboard servers do) for two minutes.
// Copied as curl.exe it is a stand-in curl serving the folder FAKE_SITE names: the last argument
// that starts with "http" is the URL, whose path names a file in that folder; "-o <file>" writes it
// there, otherwise to standard output. A missing file fails as curl -f does (exit 22). Each URL
// is appended to requests.log in the site's folder.
// Copied under a name that starts with "vellora-agent" it is a release that does not serve: it
// answers --version with "vellora-agent 0.4.16" and exits 1 on anything else.
// Copied under a name that starts with "tinytex-" it is a TinyTeX self-extracting package: given
// "-y" and "-o<dir>" it makes <dir>\TinyTeX\bin\windows holding a copy of itself as tlmgr.exe
// (which then records its arguments as a planted program does); FAKE_EXTRACT=fail makes it say
// "ERROR: Data Error" and exit 2 instead.
// Copied under any other name (reg.exe, taskkill.exe, powershell.exe planted where a system
// program is looked for) it appends its name and arguments as a line to planted.log beside itself
// and exits 0.
// Copied as latexmk.exe it is a fake latexmk (latexmk's arguments hold "%", which no batch program
// is given): it logs its arguments to latexmk.calls in its working directory and, as the file
// latexmk.mode beside it says (engine runs see none of the test's variables),
//   endless        names a new missing package on every run (pkg1.sty, pkg2.sty, ...), fails
//   nothing-to-do  says there is nothing to do, unless forced (-g): then writes main.pdf

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

void write_id(const wchar_t* file, DWORD id) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << id << "\n";
}

DWORD start_sleeper() {
  wchar_t self[32768];
  GetModuleFileNameW(nullptr, self, 32768);
  std::wstring line = L"test_helper sleep";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return 0;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return pi.dwProcessId;
}

std::wstring own_path() {
  wchar_t self[32768];
  const DWORD n = GetModuleFileNameW(nullptr, self, 32768);
  return std::wstring(self, n);
}

int fake_latexmk(int argc, wchar_t** argv) {
  const std::wstring self = own_path();
  const std::wstring dir = self.substr(0, self.find_last_of(L"\\/") + 1);
  {
    // In the working directory, the engine's work directory, like a real tool's files.
    std::ofstream calls("latexmk.calls", std::ios::binary | std::ios::app);
    for (int i = 1; i < argc; ++i) calls << (i > 1 ? " " : "") << utf8(argv[i]);
    calls << "\n";
  }
  std::string mode;
  std::ifstream((dir + L"latexmk.mode").c_str()) >> mode;
  if (mode == "endless") {
    int n = 0;
    {
      std::ifstream in((dir + L"latexmk.count").c_str());
      in >> n;
    }
    ++n;
    std::ofstream((dir + L"latexmk.count").c_str(), std::ios::trunc) << n;
    std::printf("! LaTeX Error: File `pkg%d.sty' not found.\n", n);
    return 12;
  }
  if (argc > 9 && std::wstring(argv[2]) == L"-g") {
    const std::wstring outdir = std::wstring(argv[9]).substr(std::wstring(L"-outdir=").size());
    std::ofstream((outdir + L"\\main.pdf").c_str(), std::ios::binary) << "%PDF-1.5";
    return 0;
  }
  std::puts("Latexmk: Nothing to do for main.tex");
  return 1;
}

std::wstring env_text(const wchar_t* name) {
  std::wstring value(32768, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), 32768));
  return value;
}

int fake_clip(const std::wstring& dir) {
  _setmode(_fileno(stdin), _O_BINARY);
  {
    std::ofstream out((dir + L"clip.stdin").c_str(), std::ios::binary | std::ios::trunc);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) out.write(buffer, n);
  }
  write_id((dir + L"clip.pid").c_str(), GetCurrentProcessId());
  const std::wstring mode = env_text(L"FAKE_CLIP");
  if (mode == L"fail") return 1;
  if (mode == L"linger") Sleep(120'000);
  return 0;
}

int fake_curl(int argc, wchar_t** argv) {
  const std::wstring site = env_text(L"FAKE_SITE");
  std::wstring url, output;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"-o" && i + 1 < argc)
      output = argv[++i];
    else if (arg.starts_with(L"http"))
      url = arg;
  }
  std::ofstream((site + L"\\requests.log").c_str(), std::ios::binary | std::ios::app)
      << utf8(url.c_str()) << "\n";
  const std::size_t scheme = url.find(L"://");
  const std::size_t path = scheme == std::wstring::npos ? url.size() : url.find(L'/', scheme + 3);
  std::wstring file = site + (path == std::wstring::npos ? L"/" : url.substr(path));
  std::ifstream in(file.c_str(), std::ios::binary);
  if (site.empty() || !in) {
    std::fputs("curl: (22) The requested URL returned error: 404\n", stderr);
    return 22;
  }
  if (output.empty()) {
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  } else {
    std::ofstream out(output.c_str(), std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
  }
  return 0;
}

int fake_self_extractor(int argc, wchar_t** argv) {
  std::wstring into;
  bool yes = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"-y") yes = true;
    if (arg.starts_with(L"-o")) into = arg.substr(2);
  }
  if (!yes || into.empty()) return 2;
  if (env_text(L"FAKE_EXTRACT") == L"fail") {
    std::fputs("ERROR: Data Error : TinyTeX\\bin\\windows\\tlmgr.exe\n", stderr);
    return 2;
  }
  std::wstring dir = into;
  for (const wchar_t* part : {L"\\TinyTeX", L"\\bin", L"\\windows"}) {
    dir += part;
    CreateDirectoryW(dir.c_str(), nullptr);
  }
  return CopyFileW(own_path().c_str(), (dir + L"\\tlmgr.exe").c_str(), FALSE) ? 0 : 2;
}

int planted(const std::wstring& dir, const std::wstring& name, int argc, wchar_t** argv) {
  std::ofstream out((dir + L"planted.log").c_str(), std::ios::binary | std::ios::app);
  out << utf8(name.c_str());
  for (int i = 1; i < argc; ++i) out << " " << utf8(argv[i]);
  out << "\n";
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  const std::wstring self = own_path();
  const std::size_t slash = self.find_last_of(L"\\/") + 1;
  const std::wstring dir = self.substr(0, slash);
  std::wstring name = self.substr(slash);
  for (auto& c : name) c = towlower(c);
  if (name == L"latexmk.exe") return fake_latexmk(argc, argv);
  if (name == L"clip.exe") return fake_clip(dir);
  if (name == L"curl.exe") return fake_curl(argc, argv);
  if (name.starts_with(L"tinytex-")) return fake_self_extractor(argc, argv);
  if (name.starts_with(L"vellora-agent")) {
    if (argc != 2 || std::wstring(argv[1]) != L"--version") return 1;
    std::fputs("vellora-agent 0.4.16\n", stdout);
    return 0;
  }
  if (name != L"test_helper.exe") return planted(dir, name, argc, argv);
  if (argc < 2) return 2;
  const std::wstring mode = argv[1];
  if (mode == L"sleep") {
    Sleep(1'000'000);
  } else if (mode == L"tree" && argc > 2) {
    write_id(argv[2], start_sleeper());
    std::fputs("started\n", stdout);
    std::fflush(stdout);
    Sleep(1'000'000);
  } else if (mode == L"orphan" && argc > 2) {
    write_id(argv[2], start_sleeper());
  } else if (mode == L"self" && argc > 2) {
    write_id(argv[2], GetCurrentProcessId());
    Sleep(1'000'000);
  } else if (mode == L"flood") {
    std::string zeros(1 << 20, '\0');
    for (int i = 0; i < 47; ++i) std::fwrite(zeros.data(), 1, zeros.size(), stdout);
    std::fwrite(zeros.data(), 1, 50'000'000 - 47 * zeros.size(), stdout);
    std::fputs("END\n", stdout);
  } else if (mode == L"record" && argc > 2) {
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    for (int i = 3; i < argc; ++i) out << "[" << utf8(argv[i]) << "]";
  } else if (mode == L"append" && argc > 2) {
    std::ofstream out(argv[2], std::ios::binary | std::ios::app);
    for (int i = 3; i < argc; ++i) out << (i > 3 ? " " : "") << utf8(argv[i]);
    out << "\n";
  } else if (mode == L"huge" && argc > 2) {
    const std::wstring dir = argv[2];
    std::ofstream log((dir + L"\\main.log").c_str(), std::ios::binary | std::ios::trunc);
    log << "LOG-START\n";
    const std::string xs(1'000'000, 'x');
    for (int i = 0; i < 30; ++i) log << xs;
    log << "\nLOG-END\n";
    std::ofstream pdf((dir + L"\\main.pdf").c_str(), std::ios::binary | std::ios::trunc);
    pdf << "%PDF-1.5";
    pdf.seekp((210 << 20) - 1);
    pdf.put('\0');
  } else if (mode == L"stdin" && argc > 2) {
    _setmode(_fileno(stdin), _O_BINARY);
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) out.write(buffer, n);
  } else {
    return 2;
  }
  return 0;
}
