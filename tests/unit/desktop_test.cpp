#include <gtest/gtest.h>

#include "desktop/toast_script.h"

namespace vellora {
namespace {

TEST(ToastScript, IsTheFixedSingleLine) {
  EXPECT_EQ(TOAST_SCRIPT.size(), 644u);
  EXPECT_EQ(TOAST_SCRIPT.find('\n'), std::string_view::npos);
  EXPECT_NE(TOAST_SCRIPT.find("$env:VL_TITLE"), std::string_view::npos);
  EXPECT_NE(TOAST_SCRIPT.find("$env:VL_BODY"), std::string_view::npos);
}

}  // namespace
}  // namespace vellora
