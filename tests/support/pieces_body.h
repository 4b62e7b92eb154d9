#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "http/message.h"

namespace vellora::test {

// Hands a body over in pieces of a given size, like the socket does.
class PiecesBody final : public BodySource {
 public:
  PiecesBody(std::string text, std::size_t piece,
             std::optional<std::uint64_t> announced = std::nullopt, int repeat = 1)
      : text_(std::move(text)), piece_(piece), announced_(announced), repeat_(repeat) {}
  std::optional<std::uint64_t> announced_length() const override { return announced_; }
  std::expected<void, std::string> read(
      const std::function<bool(std::string_view)>& consume) override {
    for (int r = 0; r < repeat_; ++r)
      for (std::size_t at = 0; at < text_.size(); at += piece_)
        if (!consume(std::string_view(text_).substr(at, piece_))) return {};
    return {};
  }

 private:
  std::string text_;
  std::size_t piece_;
  std::optional<std::uint64_t> announced_;
  int repeat_;
};

}  // namespace vellora::test
