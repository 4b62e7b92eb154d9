// The tray's texts and its icon: pure functions of the shown values.

#include <gtest/gtest.h>

#include <cmath>

#include "tray/run_tray.h"
#include "tray/tray_icon.h"
#include "tray/tray_texts.h"

namespace vellora {
namespace {

const std::string DOT = " \u00b7 ";

struct TextCase {
  const char* what;
  ShownValues shown;
  std::uint16_t port;
  TrayTexts expected;
};

TEST(TrayTexts, FollowTheShownValues) {
  const std::optional<std::string> none;
  const std::optional<std::string> newer = "0.5.0";
  const TextCase cases[] = {
      {"idle, nothing known",
       {false, none, "", false, false, none},
       47474,
       {"Idle (127.0.0.1:47474)", "Agent running" + DOT + "port 47474", "Version 0.4.15",
        "Update the agent", false, "Check for updates", true}},
      {"compiling on another port",
       {true, none, "", false, false, none},
       8080,
       {"Compiling... (127.0.0.1:8080)", "Compiling..." + DOT + "port 8080", "Version 0.4.15",
        "Update the agent", false, "Check for updates", true}},
      {"a newer version known",
       {false, newer, "New version 0.5.0 available", false, false, none},
       47474,
       {"Idle (127.0.0.1:47474)" + DOT + "Update available: 0.5.0",
        "Agent running" + DOT + "port 47474", "Version 0.4.15" + DOT + "new: 0.5.0",
        "Update the agent to version 0.5.0", true, "Check for updates", true}},
      {"checking",
       {false, none, "", true, false, none},
       47474,
       {"Idle (127.0.0.1:47474)", "Agent running" + DOT + "port 47474",
        "Version 0.4.15" + DOT + "checking...", "Update the agent", false, "Checking...", false}},
      {"checking beats a known version",
       {true, newer, "", true, false, none},
       47474,
       {"Compiling... (127.0.0.1:47474)" + DOT + "Update available: 0.5.0",
        "Compiling..." + DOT + "port 47474", "Version 0.4.15" + DOT + "checking...",
        "Update the agent to version 0.5.0", true, "Checking...", false}},
      {"updating beats everything and disables both items",
       {false, newer, "You are on the latest version (0.4.15)", true, true, none},
       47474,
       {"Idle (127.0.0.1:47474)" + DOT + "Update available: 0.5.0",
        "Agent running" + DOT + "port 47474", "Version 0.4.15" + DOT + "updating...", "Updating...",
        false, "Checking...", false}},
      {"updating without a known version",
       {false, none, "", false, true, none},
       47474,
       {"Idle (127.0.0.1:47474)", "Agent running" + DOT + "port 47474",
        "Version 0.4.15" + DOT + "updating...", "Updating...", false, "Check for updates", false}},
      {"a check that found nothing newer",
       {false, none, "You are on the latest version (0.4.15)", false, false, none},
       47474,
       {"Idle (127.0.0.1:47474)", "Agent running" + DOT + "port 47474",
        "Version 0.4.15" + DOT + "up to date", "Update the agent", false, "Check for updates",
        true}},
      {"the command's wording of the same",
       {false, none, "You are already on the latest version (0.4.15).", false, false, none},
       47474,
       {"Idle (127.0.0.1:47474)", "Agent running" + DOT + "port 47474",
        "Version 0.4.15" + DOT + "up to date", "Update the agent", false, "Check for updates",
        true}},
      {"a known version beats an up-to-date message",
       {false, newer, "You are on the latest version (0.4.15)", false, false, none},
       47474,
       {"Idle (127.0.0.1:47474)" + DOT + "Update available: 0.5.0",
        "Agent running" + DOT + "port 47474", "Version 0.4.15" + DOT + "new: 0.5.0",
        "Update the agent to version 0.5.0", true, "Check for updates", true}},
      {"updated on disk, waiting for a restart: nothing more to offer",
       {false, none, "Updated: Updated to 0.4.16 at /x", false, false, "0.4.16"},
       47474,
       {"Idle (127.0.0.1:47474)" + DOT + "Updated to 0.4.16: restart to finish",
        "Agent running" + DOT + "port 47474",
        "Version 0.4.15" + DOT + "0.4.16 installed, restart to finish",
        "Updated to 0.4.16: restart to finish", false, "Check for updates", true}},
      {"a failed check",
       {false, none, "Could not check right now: timed out", false, false, none},
       47474,
       {"Idle (127.0.0.1:47474)", "Agent running" + DOT + "port 47474", "Version 0.4.15",
        "Update the agent", false, "Check for updates", true}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tray_texts(c.shown, c.port, "0.4.15"), c.expected) << c.what;
  }
}

TEST(TrayTexts, InitialMenuIsTheIdleStateWithFixedEntries) {
  const auto menu = initial_menu(47474, "0.4.15");
  ASSERT_EQ(menu.size(), 8u);
  const std::vector<std::tuple<int, std::string, bool, bool>> expected = {
      {STATUS_ITEM, "Agent running" + DOT + "port 47474", false, false},
      {VERSION_ITEM, "Version 0.4.15", false, false},
      {FIRST_SEPARATOR, "", false, true},
      {UPDATE_ITEM, "Update the agent", false, false},
      {CHECK_ITEM, "Check for updates", true, false},
      {OPEN_ITEM, "Open Vellora", true, false},
      {SECOND_SEPARATOR, "", false, true},
      {QUIT_ITEM, "Quit", true, false},
  };
  for (std::size_t i = 0; i < menu.size(); ++i) {
    EXPECT_EQ(std::tie(menu[i].id, menu[i].text, menu[i].enabled, menu[i].separator), expected[i])
        << i;
  }
}

double distance_to_dot(int x, int y) {
  return std::hypot(x + 0.5 - 24.0, y + 0.5 - 24.0);
}

TEST(TrayImage, StatusDotPixels) {
  constexpr Rgba white{255, 255, 255, 255};
  for (const bool compiling : {false, true}) {
    const IconImage image = tray_icon_image(compiling);
    const Rgba state = compiling ? COMPILING_COLOUR : IDLE_COLOUR;
    const Rgba base_at_edge = pixel_at(base_mark(), 29, 28);
    // (x, y, expected): the centre, either side of the disc's edge (5.44) and of the ring's (7.04).
    const std::tuple<int, int, Rgba> cases[] = {
        {24, 24, state},        {23, 23, state}, {28, 26, state},  // d = 0.71, 0.71, 5.15
        {29, 24, white},        {24, 29, white},                   // d = 5.52
        {30, 26, white},        {24, 30, white},                   // d = 6.96, 6.52
        {29, 28, base_at_edge},                                    // d = 7.11
    };
    for (const auto& [x, y, colour] : cases) {
      EXPECT_EQ(pixel_at(image, x, y), colour) << x << "," << y << " compiling " << compiling;
    }
    // Everything outside the ring is the mark itself.
    for (int y = 0; y < ICON_SIZE; ++y) {
      for (int x = 0; x < ICON_SIZE; ++x) {
        if (distance_to_dot(x, y) <= 7.04) continue;
        ASSERT_EQ(pixel_at(image, x, y), pixel_at(base_mark(), x, y)) << x << "," << y;
      }
    }
  }
}

TEST(TrayImage, MarkIsAnOpaqueSquareWithAWhiteV) {
  const IconImage& mark = base_mark();
  // Opaque inside, transparent at the rounded corners, a white stroke on the "V"'s arms.
  EXPECT_EQ(pixel_at(mark, 16, 2).a, 255);
  EXPECT_EQ(pixel_at(mark, 29, 28).a, 255);
  EXPECT_EQ(pixel_at(mark, 0, 0).a, 0);
  EXPECT_EQ(pixel_at(mark, 31, 31).a, 0);
  EXPECT_EQ(pixel_at(mark, 14, 22), (Rgba{255, 255, 255, 255}));
  EXPECT_NE(pixel_at(mark, 16, 2), (Rgba{255, 255, 255, 255}));
}

}  // namespace
}  // namespace vellora
