#include "tray/tray_icon.h"

#include <algorithm>
#include <cmath>

namespace vellora {
namespace {

constexpr Rgba MARK_COLOUR{67, 56, 202, 255};
constexpr Rgba WHITE{255, 255, 255, 255};

struct Point {
  double x, y;
};

bool in_rounded_square(Point p) {
  constexpr double half = ICON_SIZE / 2.0, radius = 6.0;
  const double dx = std::max(std::abs(p.x - half) - (half - radius), 0.0);
  const double dy = std::max(std::abs(p.y - half) - (half - radius), 0.0);
  return dx * dx + dy * dy <= radius * radius;
}

double distance_to_segment(Point p, Point a, Point b) {
  const double vx = b.x - a.x, vy = b.y - a.y;
  const double t =
      std::clamp(((p.x - a.x) * vx + (p.y - a.y) * vy) / (vx * vx + vy * vy), 0.0, 1.0);
  return std::hypot(p.x - (a.x + t * vx), p.y - (a.y + t * vy));
}

// Drawn up and left of centre, clear of the status dot in the lower right corner.
bool in_v(Point p) {
  constexpr Point left{6.5, 7.0}, bottom{14.0, 23.5}, right{21.5, 7.0};
  constexpr double half_width = 2.4;
  return distance_to_segment(p, left, bottom) <= half_width ||
         distance_to_segment(p, bottom, right) <= half_width;
}

void set_pixel(IconImage& image, int x, int y, Rgba c) {
  auto* p = &image[static_cast<std::size_t>((y * ICON_SIZE + x) * 4)];
  p[0] = c.r;
  p[1] = c.g;
  p[2] = c.b;
  p[3] = c.a;
}

std::uint8_t mix(std::uint8_t from, std::uint8_t to, double t) {
  return static_cast<std::uint8_t>(std::lround(from + (to - from) * t));
}

// Each pixel's coverage is sampled on a 4 × 4 grid, so edges stay smooth at 16 px too.
IconImage draw_mark() {
  IconImage image{};
  constexpr int grid = 4;
  for (int y = 0; y < ICON_SIZE; ++y) {
    for (int x = 0; x < ICON_SIZE; ++x) {
      int square = 0, v = 0;
      for (int sy = 0; sy < grid; ++sy) {
        for (int sx = 0; sx < grid; ++sx) {
          const Point p{x + (sx + 0.5) / grid, y + (sy + 0.5) / grid};
          if (!in_rounded_square(p)) continue;
          ++square;
          if (in_v(p)) ++v;
        }
      }
      if (square == 0) continue;
      const double white = static_cast<double>(v) / square;
      set_pixel(image, x, y,
                {mix(MARK_COLOUR.r, WHITE.r, white), mix(MARK_COLOUR.g, WHITE.g, white),
                 mix(MARK_COLOUR.b, WHITE.b, white),
                 static_cast<std::uint8_t>(std::lround(255.0 * square / (grid * grid)))});
    }
  }
  return image;
}

}  // namespace

const IconImage& base_mark() {
  static const IconImage mark = draw_mark();
  return mark;
}

IconImage tray_icon_image(bool compiling) {
  IconImage image = base_mark();
  for (int y = 0; y < ICON_SIZE; ++y) {
    for (int x = 0; x < ICON_SIZE; ++x) {
      const double d = std::hypot(x + 0.5 - 24.0, y + 0.5 - 24.0);
      if (d <= 5.44) {
        set_pixel(image, x, y, compiling ? COMPILING_COLOUR : IDLE_COLOUR);
      } else if (d <= 7.04) {
        set_pixel(image, x, y, WHITE);
      }
    }
  }
  return image;
}

Rgba pixel_at(const IconImage& image, int x, int y) {
  const auto* p = &image[static_cast<std::size_t>((y * ICON_SIZE + x) * 4)];
  return {p[0], p[1], p[2], p[3]};
}

}  // namespace vellora
