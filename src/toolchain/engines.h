#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/json.h"

namespace vellora {

// One compile engine usable right now.
struct EngineInfo {
  std::string_view id;    // "agent-pdflatex", ...
  std::string_view name;  // "pdfLaTeX", ...
  std::string version;    // first line of "--version", trimmed; empty when unknown
};

// The engines found, in a fixed order: pdfLaTeX, XeLaTeX, LuaLaTeX (each with latexmk), Tectonic,
// ConTeXt. Detected afresh at every call.
std::vector<EngineInfo> detect_engines();

// The engines as detected at most 30 seconds ago; callers arriving while a detection runs wait
// for it instead of starting their own. For the status endpoint, which anyone may call.
std::vector<EngineInfo> recent_engines();

// The same with another way of finding programs (tests give a directory of their own).
using ProgramFinder = std::function<std::optional<std::filesystem::path>(const std::string&)>;
std::vector<EngineInfo> detect_engines_with(const ProgramFinder& find);
std::vector<std::string> engine_names();

// The engine with this id when detection would list it, without asking for its version: what a
// compile needs, at the cost of a file lookup instead of a child process per engine.
std::optional<EngineInfo> usable_engine(std::string_view id);

// First line of the program's "--version" output, trimmed; empty when it cannot be run.
std::string engine_version(const std::filesystem::path& program);

// {"id","name","version"} in that order.
json::object engine_json(const EngineInfo& engine);

// Variables a ConTeXt run needs when its installation does not find its own tree (Debian puts
// the tree in /usr/share); empty when nothing is to be added.
std::vector<std::pair<std::string, std::string>> context_env(const std::filesystem::path& context);

}  // namespace vellora
