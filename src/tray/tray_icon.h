#pragma once

#include <array>
#include <cstdint>

namespace vellora {

inline constexpr int ICON_SIZE = 32;

// 32 × 32 pixels, rows top to bottom, each pixel red, green, blue, alpha (not premultiplied).
using IconImage = std::array<std::uint8_t, ICON_SIZE * ICON_SIZE * 4>;

struct Rgba {
  std::uint8_t r, g, b, a;
  bool operator==(const Rgba&) const = default;
};

inline constexpr Rgba IDLE_COLOUR{48, 164, 108, 255};
inline constexpr Rgba COMPILING_COLOUR{229, 72, 77, 255};

// The product's mark: a white "V" on a rounded indigo square.
const IconImage& base_mark();

// The mark with the status dot: a disc of the state's colour in a white ring, centred on (24, 24).
IconImage tray_icon_image(bool compiling);

Rgba pixel_at(const IconImage& image, int x, int y);

}  // namespace vellora
