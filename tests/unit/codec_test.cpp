#include <gtest/gtest.h>

#include "common/base64.h"
#include "common/json.h"
#include "common/text.h"

namespace vellora {
namespace {

TEST(Base64, RoundTripsEveryLength) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) {
    const std::string encoded = base64_encode(bytes);
    EXPECT_EQ(encoded.size() % 4, 0u);
    EXPECT_EQ(base64_decode(encoded), bytes);
    bytes += static_cast<char>(i * 37);
  }
  EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
}

TEST(Base64, DecodingIsStrict) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"", ""},
      {"QQ==", "A"},
      {"QUI=", "AB"},
      {"QUJD", "ABC"},
      {"QQ", std::nullopt},
      {"QR==", std::nullopt},  // unused bits set
      {"QUJ=", std::nullopt},
      {"Q===", std::nullopt},
      {"=QQQ", std::nullopt},
      {"QQ=A", std::nullopt},
      {"QU JD", std::nullopt},
      {"QUJD\n", std::nullopt},
      {"QU-_", std::nullopt},
      {"QUJDQQ==QQ==", std::nullopt},
      {"QUJDQUI=QUJD", std::nullopt},
      {"QUJDQQ==Q", std::nullopt},
      {"QUJDQUJD", "ABCABC"},
      {"QUJDQUJDQQ==", "ABCABCA"},
      {"QUJDQU\\D", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(base64_decode(text), expected) << text;
    // Decoded while it arrives, in pieces of every size, the text gives the same answer.
    const std::string_view whole(text);
    for (std::size_t piece = 1; piece <= whole.size(); ++piece) {
      Base64Decoder decoder;
      std::string out;
      bool valid = true;
      for (std::size_t at = 0; at < whole.size() && valid; at += piece) {
        const auto part = whole.substr(at, piece);
        std::string room(Base64Decoder::max_output(part.size()), '\0');
        const auto size = decoder.feed(part, room.data());
        valid = size.has_value();
        if (valid) out.append(room, 0, *size);
      }
      valid = valid && decoder.finish();
      EXPECT_EQ(valid ? std::optional(out) : std::nullopt, expected) << text << " in " << piece;
    }
  }
}

TEST(Base64, LongTextsFindEveryFaultWhereverItIs) {
  // Long enough for the vectorised blocks; a fault is found in a block, in the reserve behind it
  // and in the last quartet, and a valid text decodes in place.
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 131 + 7);
  const std::string text = base64_encode(bytes);
  EXPECT_EQ(base64_decode(text), bytes);
  std::string in_place = text;
  EXPECT_EQ(base64_decode_into(in_place, in_place.data()), bytes.size());
  EXPECT_EQ(in_place.substr(0, bytes.size()), bytes);
  for (std::size_t at = 0; at < text.size(); at += 37) {
    for (const char bad : {'=', '*', '\x80', '\0'}) {
      std::string broken = text;
      broken[at] = bad;
      EXPECT_EQ(base64_decode(broken), std::nullopt) << at << " " << int(bad);
    }
  }
  const char* all = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string alphabet;
  for (int i = 0; i < 8; ++i) alphabet += all;
  EXPECT_EQ(base64_encode(*base64_decode(alphabet)), alphabet);
}

TEST(Json, RepliesSortKeysAtEveryLevel) {
  json::value v = json::parse(
      R"({"version":1,"agent":"a","engines":[{"z":1,"id":2}],"autoUpdate":{"b":1,"a":2}})");
  EXPECT_EQ(to_sorted_json(v),
            R"({"agent":"a","autoUpdate":{"a":2,"b":1},"engines":[{"id":2,"z":1}],"version":1})");
}

TEST(Json, PrettyTextHasTwoSpaceIndentation) {
  json::object o;
  o["devices"] = json::array{};
  EXPECT_EQ(to_pretty_json(o), "{\n  \"devices\": []\n}");
  json::object d;
  d["id"] = "a\"b";
  d["n"] = 5;
  d["e"] = json::object{};
  EXPECT_EQ(to_pretty_json(json::array{d, 1}),
            "[\n  {\n    \"id\": \"a\\\"b\",\n    \"n\": 5,\n    \"e\": {}\n  },\n  1\n]");
}

TEST(Json, ParseAcceptsTrailingBlanksOnly) {
  EXPECT_TRUE(parse_json("{} \r\n\t"));
  EXPECT_TRUE(parse_json("3"));
  const auto two = parse_json("{}\n{}");
  ASSERT_FALSE(two);
  EXPECT_NE(two.error().find("line 2 column 1"), std::string::npos) << two.error();
  const auto empty = parse_json("");
  ASSERT_FALSE(empty);
  EXPECT_NE(empty.error().find("line 1 column 0"), std::string::npos) << empty.error();
}

TEST(Text, TrimAndLossyDecoding) {
  EXPECT_EQ(trim("  \t a b \n"), "a b");
  EXPECT_EQ(trim("\u00a0x\u2003"), "x");
  EXPECT_EQ(trim(" \xff "), "\xff");
  EXPECT_EQ(utf8_lossy("a\xff"
                       "b\xc3"),
            "a\uFFFDb\uFFFD");
  EXPECT_EQ(utf8_lossy("\xed\xa0\x80"), "\uFFFD\uFFFD\uFFFD");  // a surrogate is not UTF-8
  EXPECT_EQ(first_chars("h\u00e9llo", 2), "h\u00e9");
}

TEST(Text, SplitLinesDropsCarriageReturnsAndTheFinalEmptyLine) {
  const std::vector<std::string_view> expected = {"a", "", "b"};
  EXPECT_EQ(split_lines("a\r\n\nb\n"), expected);
  EXPECT_TRUE(split_lines("").empty());
}

}  // namespace
}  // namespace vellora
