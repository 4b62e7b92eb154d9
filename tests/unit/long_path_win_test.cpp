// Windows only: the "\\?\" form of the agent's own paths. Wine does not enforce the 260-character
// limit, so the conversion itself is what is tested here.

#include <gtest/gtest.h>
#include <windows.h>

#include "harness.h"
#include "platform/env.h"
#include "platform/long_path.h"

namespace vellora {
namespace {

TEST(LongPath, AbsoluteNormalisedAndPrefixed) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"C:\\work\\p\\main.tex", L"\\\\?\\C:\\work\\p\\main.tex"},
      {L"C:/work/p/chapters/intro.tex", L"\\\\?\\C:\\work\\p\\chapters\\intro.tex"},
      {L"C:\\work\\p\\.\\a\\..\\b.tex", L"\\\\?\\C:\\work\\p\\b.tex"},
      {L"c:\\x", L"\\\\?\\c:\\x"},
      {L"\\\\server\\share\\dir\\f.tex", L"\\\\?\\UNC\\server\\share\\dir\\f.tex"},
      {L"\\\\?\\C:\\already\\long", L"\\\\?\\C:\\already\\long"},
      {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
      {L"", L""},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(platform::long_path(in).native(), out) << platform::path_text(in);
}

TEST(LongPath, RelativePathsStartAtTheWorkingDirectory) {
  const std::filesystem::path cwd = std::filesystem::current_path();
  const std::wstring long_cwd = platform::long_path(cwd).native();
  ASSERT_TRUE(long_cwd.starts_with(L"\\\\?\\")) << platform::path_text(long_cwd);
  EXPECT_EQ(platform::long_path("a/b.tex").native(), long_cwd + L"\\a\\b.tex");
  const std::wstring deep(300, L'x');
  EXPECT_EQ(platform::long_path(deep).native(), long_cwd + L"\\" + deep);
}

// Where the system honours it, the manifest lifts the limit for everything the agent does.
TEST(LongPath, AgentDeclaresItselfLongPathAware) {
  HMODULE agent = LoadLibraryExW(test::agent_binary().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(agent, nullptr);
  HRSRC resource = FindResourceW(agent, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(resource, nullptr) << "no application manifest";
  const std::string manifest(static_cast<const char*>(LockResource(LoadResource(agent, resource))),
                             SizeofResource(agent, resource));
  FreeLibrary(agent);
  EXPECT_NE(manifest.find("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                          "WindowsSettings\">true</longPathAware>"),
            std::string::npos)
      << manifest;
}

}  // namespace
}  // namespace vellora
