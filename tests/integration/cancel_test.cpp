// Progress, cancel and a client that goes away, with the real binary: real pdfLaTeX and latexmk,
// fake tectonic and tlmgr that hang.

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <thread>

#include "harness.h"

namespace vellora::test {
namespace {

using Clock = std::chrono::steady_clock;
using Files = std::vector<std::pair<std::string, std::string>>;

// Starts a child that would outlive a careless kill, records both ids, then works for ever.
const std::string HANGING_TECTONIC =
    "[ \"$1\" = --version ] && { echo 'Tectonic 0.15.0'; exit 0; }\n"
    "sleep 1000 & echo $! >> \"$FAKE_PIDS\"\necho $$ >> \"$FAKE_PIDS\"\n"
    "echo 'working for ever'\nsleep 1000\n";

// Finds every package; its installation never ends.
const std::string HANGING_TLMGR =
    "case \"$1\" in\n"
    "  search) echo 'hangpkg:'; printf '\\ttexmf-dist/tex/latex/hangpkg/hangpkg.sty\\n' ;;\n"
    "  install) sleep 1000 & echo $! >> \"$FAKE_PIDS\"; echo $$ >> \"$FAKE_PIDS\"; sleep 1000 ;;\n"
    "esac\n";

const std::string LOOPING_DOCUMENT =
    "\\documentclass{article}\n\\begin{document}\n\\loop\\iftrue\\repeat\n\\end{document}\n";

class CancelTest : public ::testing::Test {
 protected:
  void SetUp() override { agent_.set_env("FAKE_PIDS", pids_file().string()); }
  void start() {
    ASSERT_TRUE(agent_.start()) << agent_.errors();
    token_ = agent_.pair();
  }
  fs::path pids_file() const { return agent_.root() / "fake.pids"; }

  std::string compile_body(const std::string& project, const Files& files,
                           const std::string& engine, bool install_missing) {
    json::object body;
    body["project"] = project;
    body["mainFile"] = "main.tex";
    body["files"] = agent_.upload(token_, files);
    body["engine"] = engine;
    body["installMissing"] = install_missing;
    return json::serialize(body);
  }
  std::future<HttpResponse> compile_async(const std::string& body) {
    return std::async(std::launch::async,
                      [this, body] { return agent_.post_auth("/v1/compile", body, token_); });
  }
  HttpResponse progress(const std::string& query) const {
    return agent_.get("/v1/progress" + query, {{"Authorization", "Bearer " + token_}});
  }
  HttpResponse cancel(const std::string& project) const {
    return agent_.post_auth("/v1/cancel", json::serialize(json::object{{"project", project}}),
                            token_);
  }
  // Polls until the project's progress satisfies `wanted`; the last reply.
  json::value wait_for_progress(const std::string& project,
                                const std::function<bool(const json::value&)>& wanted) const {
    json::value last;
    for (const auto until = Clock::now() + std::chrono::seconds(60); Clock::now() < until;) {
      last = progress("?project=" + project).json();
      if (wanted(last)) return last;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "progress never matched; last: " << json::serialize(last);
    return last;
  }

  // Processes whose working directory is the project's work directory (the engine, latexmk, the
  // fakes) and those the fakes recorded.
  std::set<pid_t> project_processes(const std::string& project) const {
    std::set<pid_t> pids;
    std::error_code ec;
    const fs::path work = fs::weakly_canonical(agent_.cache_dir() / "work" / project, ec);
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::error_code link_ec;
      const fs::path cwd = fs::read_symlink(entry.path() / "cwd", link_ec);
      const pid_t pid = std::stoi(name);
      if (!link_ec && cwd == work && process_alive(pid)) pids.insert(pid);
    }
    std::istringstream recorded(read_text(pids_file()));
    for (pid_t pid; recorded >> pid;)
      if (process_alive(pid)) pids.insert(pid);
    return pids;
  }

  Agent agent_;
  std::string token_;
};

std::string log_of(const HttpResponse& response) {
  return std::string(response.json().at("log").as_string());
}

TEST_F(CancelTest, ProgressFollowsASlowCompileAndEndsNotRunning) {
  write_script(agent_.bin() / "tectonic",
               "[ \"$1\" = --version ] && { echo 'Tectonic 0.15.0'; exit 0; }\nsleep 2\n"
               "printf '%%PDF-1.5 fake' > _out/main.pdf\n");
  start();
  EXPECT_EQ(progress("?project=slow").body, R"({"running":false})");
  auto compiled = compile_async(compile_body("slow", {{"main.tex", "x"}}, "agent-tectonic", true));
  const auto first = wait_for_progress("slow", [](const json::value& p) {
    return p.at("running") == true && p.at("phase") == "compiling";
  });
  EXPECT_EQ(first.at("pass"), 1);
  EXPECT_EQ(first.at("tool"), "tectonic");
  EXPECT_TRUE(first.at("package").is_null());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto later = progress("?project=slow").json();
  ASSERT_EQ(later.at("running"), true);
  EXPECT_GT(later.at("elapsed_ms").to_number<std::int64_t>(),
            first.at("elapsed_ms").to_number<std::int64_t>());
  // Another project's compile is not this one.
  EXPECT_EQ(progress("?project=other").body, R"({"running":false})");
  EXPECT_EQ(compiled.get().json().at("success"), true);
  EXPECT_EQ(progress("?project=slow").body, R"({"running":false})");
}

TEST_F(CancelTest, ProgressAndCancelRefuseBadRequests) {
  start();
  struct Case {
    std::string method, target, body;
    bool with_token;
    unsigned status;
  };
  const std::vector<Case> cases = {
      {"GET", "/v1/progress?project=p", "", false, 401},
      {"POST", "/v1/cancel", R"({"project":"p"})", false, 401},
      {"GET", "/v1/progress", "", true, 400},
      {"GET", "/v1/progress?project=../x", "", true, 400},
      {"GET", "/v1/progress?project=%2", "", true, 400},
      {"POST", "/v1/cancel", R"({"project":7})", true, 400},
      {"POST", "/v1/cancel", "{}", true, 400},
      {"GET", "/v1/progress?other=1&project=p%2Dq", "", true, 200},
      {"POST", "/v1/cancel", R"({"project":"idle"})", true, 200},
  };
  for (const Case& c : cases) {
    Headers headers{{"Host", agent_.host()}};
    if (c.with_token) headers.emplace_back("Authorization", "Bearer " + token_);
    const auto response = http_request(agent_.port(), c.method, c.target, headers, c.body);
    EXPECT_EQ(response.status, c.status) << c.method << " " << c.target << " " << c.body;
  }
  EXPECT_EQ(cancel("idle").body, R"({"cancelled":false})");
}

TEST_F(CancelTest, CancelStopsALoopingDocumentAtOnce) {
  start();
  auto compiled = compile_async(
      compile_body("loop", {{"main.tex", LOOPING_DOCUMENT}}, "agent-pdflatex", false));
  wait_for_progress("loop", [](const json::value& p) {
    return p.at("running") == true && p.at("phase") == "compiling";
  });
  // pdfLaTeX is looping under latexmk.
  for (const auto until = Clock::now() + std::chrono::seconds(30);
       project_processes("loop").size() < 2 && Clock::now() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GE(project_processes("loop").size(), 2u);

  const auto asked = Clock::now();
  EXPECT_EQ(cancel("loop").body, R"({"cancelled":true})");
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(5));
  // Free at once: nothing runs, and the next compile is not refused as busy.
  EXPECT_EQ(progress("?project=loop").body, R"({"running":false})");
  EXPECT_TRUE(project_processes("loop").empty());
  const auto reply = compiled.get();
  ASSERT_EQ(reply.status, 200u);
  EXPECT_EQ(reply.json().at("success"), false);
  EXPECT_TRUE(reply.json().at("pdf_base64").is_null());
  EXPECT_TRUE(log_of(reply).starts_with("Compilation cancelled.")) << log_of(reply);
  EXPECT_EQ(reply.json().at("engine_used"), "pdfLaTeX (local)");

  const auto again = agent_.post_auth(
      "/v1/compile",
      compile_body("loop",
                   {{"main.tex", "\\documentclass{article}\\begin{document}x\\end{document}"}},
                   "agent-pdflatex", false),
      token_);
  ASSERT_EQ(again.status, 200u);
  EXPECT_EQ(again.json().at("success"), true) << log_of(again);
}

// No more compiles run at once than the agent allows (the cores, here 1): the next one waits,
// shown as queued, starts nothing, and runs once a place is free; a cancel reaches it in the queue.
TEST_F(CancelTest, CompilesBeyondTheLimitWaitTheirTurn) {
  agent_.set_env("VELLORA_MAX_COMPILES", "1");
  start();
  auto looping = compile_async(
      compile_body("first", {{"main.tex", LOOPING_DOCUMENT}}, "agent-pdflatex", false));
  const auto in_phase = [](const char* phase) {
    return
        [phase](const json::value& p) { return p.at("running") == true && p.at("phase") == phase; };
  };
  wait_for_progress("first", in_phase("compiling"));
  const std::string hello = "\\documentclass{article}\\begin{document}x\\end{document}";
  auto second =
      compile_async(compile_body("second", {{"main.tex", hello}}, "agent-pdflatex", false));
  auto third = compile_async(compile_body("third", {{"main.tex", hello}}, "agent-pdflatex", false));
  wait_for_progress("second", in_phase("queued"));
  wait_for_progress("third", in_phase("queued"));
  EXPECT_TRUE(project_processes("second").empty());

  EXPECT_EQ(cancel("third").body, R"({"cancelled":true})");
  const auto cancelled = third.get();
  ASSERT_EQ(cancelled.status, 200u);
  EXPECT_TRUE(log_of(cancelled).starts_with("Compilation cancelled.")) << log_of(cancelled);

  EXPECT_EQ(cancel("first").body, R"({"cancelled":true})");
  looping.get();
  const auto reply = second.get();
  ASSERT_EQ(reply.status, 200u);
  EXPECT_EQ(reply.json().at("success"), true) << log_of(reply);
}

TEST_F(CancelTest, CancelStopsAHangingInstallation) {
  write_script(agent_.bin() / "tlmgr", HANGING_TLMGR);
  start();
  auto compiled =
      compile_async(compile_body("inst",
                                 {{"main.tex",
                                   "\\documentclass{article}\\usepackage{hangpkg}\\begin{document}x"
                                   "\\end{document}"}},
                                 "agent-pdflatex", true));
  const auto installing = wait_for_progress("inst", [](const json::value& p) {
    return p.at("running") == true && p.at("package") == "hangpkg";
  });
  EXPECT_EQ(installing.at("phase"), "installing");
  EXPECT_EQ(installing.at("tool"), "tlmgr");
  EXPECT_EQ(installing.at("pass"), 0);
  for (const auto until = Clock::now() + std::chrono::seconds(10);
       project_processes("inst").size() < 2 && Clock::now() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GE(project_processes("inst").size(), 2u);

  EXPECT_EQ(cancel("inst").body, R"({"cancelled":true})");
  EXPECT_EQ(progress("?project=inst").body, R"({"running":false})");
  EXPECT_TRUE(project_processes("inst").empty());
  const auto reply = compiled.get();
  ASSERT_EQ(reply.status, 200u);
  EXPECT_EQ(reply.json().at("success"), false);
  // No engine ran: the log says only that the compile was cancelled.
  EXPECT_EQ(log_of(reply), "Compilation cancelled.");
  EXPECT_EQ(cancel("inst").body, R"({"cancelled":false})");
}

TEST_F(CancelTest, ClientThatGoesAwayEndsItsCompile) {
  write_script(agent_.bin() / "tectonic", HANGING_TECTONIC);
  start();
  const std::string body = compile_body("gone", {{"main.tex", "x"}}, "agent-tectonic", false);
  const std::string request =
      "POST /v1/compile HTTP/1.1\r\nHost: " + agent_.host() + "\r\nAuthorization: Bearer " +
      token_ +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\n\r\n" + body;
  auto client = std::async(std::launch::async, [&] {
    // Sends the request and closes the connection after a while, without the reply.
    return raw_exchange(agent_.port(), request, std::chrono::milliseconds(2000));
  });
  wait_for_progress("gone", [](const json::value& p) { return p.at("running") == true; });
  for (const auto until = Clock::now() + std::chrono::seconds(10);
       project_processes("gone").size() < 2 && Clock::now() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GE(project_processes("gone").size(), 2u);
  EXPECT_EQ(client.get(), "");

  wait_for_progress("gone", [](const json::value& p) { return p.at("running") == false; });
  EXPECT_TRUE(project_processes("gone").empty());
  // The project is free for the page that comes back.
  write_script(agent_.bin() / "tectonic",
               "[ \"$1\" = --version ] && { echo 'Tectonic 0.15.0'; exit 0; }\n"
               "printf '%%PDF-1.5 fake' > _out/main.pdf\n");
  const auto again = agent_.post_auth("/v1/compile", body, token_);
  ASSERT_EQ(again.status, 200u) << again.body;
  EXPECT_EQ(again.json().at("success"), true);
}

}  // namespace
}  // namespace vellora::test
