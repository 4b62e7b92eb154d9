#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vellora {

// Caches that are slow to build and that every run reads but none may write: built by the agent
// itself, from the TeX installation alone, in a run of its own whose only writable folder is the
// cache being built, and published by renaming it into place.

// luaotfload's font-name database, with Latin Modern (LuaLaTeX's default fonts) already compiled,
// in the cache directory's "tex-fonts" (or VELLORA_FONT_CACHE); none when LuaLaTeX is missing or
// the build failed (then each project builds its own).
std::optional<std::filesystem::path> shared_font_cache();

// Gives a project's private luaotfload cache (`private_luatex`, the first folder of its
// TEXMFCACHE) a copy of the shared font-name database, which luaotfload looks for only there. The
// copy is put in place whole or not at all; the error says why it failed ("No space left on
// device"), and luaotfload then builds the project's own.
std::expected<void, std::string> seed_font_names(const std::filesystem::path& shared,
                                                 const std::filesystem::path& private_luatex);

// ConTeXt's file database and formats in the cache the agent names for an installation that names
// none (`vars` from context_env), made once when no format is there yet.
void prepare_context_cache(const std::filesystem::path& cache, const std::filesystem::path& context,
                           const std::vector<std::pair<std::string, std::string>>& vars);

// The one-time work of the first compile, done ahead of it: where the TeX trees are (for the
// confinement), the shared font cache when it is missing, the ConTeXt wrapper.
void prepare_engine_runs();

// Where a ConTeXt run finds the `luatex` it starts: a wrapper that drops shell escape (and with it
// LuaTeX's ffi, through which a document could call C functions); none where it cannot be made.
std::optional<std::filesystem::path> context_engine_dir();

}  // namespace vellora
