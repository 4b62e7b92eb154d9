#include "http/body.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstring>

#include "common/json_stream.h"
#include "pieces_body.h"

namespace vellora {
namespace {

using test::PiecesBody;

TEST(JsonStream, AnySplitGivesTheSameValue) {
  const std::string text =
      R"( {"a":[1,-2,3.5,18446744073709551615,true,false,null],"k\u00e9y":"esc\"aped\\\n\u0041","big":")" +
      std::string(40000, 'x') + R"(","o":{"a":1,"a":2}} )";
  const json::value expected = json::parse(text);
  for (std::size_t piece : {1u, 2u, 3u, 7u, 64u, 4096u, 100000u}) {
    JsonStreamParser parser(text.size());
    for (std::size_t at = 0; at < text.size(); at += piece)
      ASSERT_TRUE(parser.feed(std::string_view(text).substr(at, piece)));
    const auto value = parser.finish();
    ASSERT_TRUE(value) << value.error();
    EXPECT_EQ(*value, expected) << "pieces of " << piece;
  }
}

TEST(JsonStream, ANumberSplitAnywhereHasTheValueOfItsWholeText) {
  for (const std::string_view number :
       {"0.30000000000000004440892098500626161694526672363281250001",
        "1.00000000000000011102230246251565404236316680908203125",
        "2.22507385850720113605740979670913197593481954635164564e-308",
        "9007199254740993.000000000000000000001", "123456789012345678901234567890.123456789e-10",
        "0.1234567890123456789e-5", "123.45678901234567890123", "2.2250738585072014e-308", "1e23",
        "-9007199254740993.0", "612.3456789012345678e2", "4.9406564584124654e-324"}) {
    const std::string text = R"({"x":)" + std::string(number) + "}";
    double expected = 0;
    std::from_chars(number.data(), number.data() + number.size(), expected);
    for (std::size_t cut = 1; cut < text.size(); ++cut) {
      JsonStreamParser parser;
      ASSERT_TRUE(parser.feed(std::string_view(text).substr(0, cut)));
      ASSERT_TRUE(parser.feed(std::string_view(text).substr(cut)));
      const auto value = parser.finish();
      ASSERT_TRUE(value) << value.error();
      const double got = value->at("x").as_double();
      EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0)
          << number << " cut at " << cut << ": " << got << " instead of " << expected;
    }
  }
}

TEST(JsonStream, ATextOfTinyValuesIsRefusedBeforeItsTreeOutgrowsIt) {
  std::string tiny = "[0";
  while (tiny.size() < (std::size_t{4} << 20)) tiny += ",0,[],{}";
  tiny += "]";
  std::string list = R"({"files":[)";
  for (int i = 0; list.size() < (std::size_t{4} << 20); ++i)
    list += std::string(i ? "," : "") + R"({"path":"f)" + std::to_string(i) +
            R"(.tex","sha256":")" + std::string(64, 'a') + "\"}";
  list += "]}";
  for (const std::size_t piece : {std::size_t{4096}, std::size_t{256} << 10}) {
    JsonStreamParser refused;
    std::expected<void, std::string> fed;
    for (std::size_t at = 0; at < tiny.size() && fed; at += piece)
      fed = refused.feed(std::string_view(tiny).substr(at, piece));
    ASSERT_FALSE(fed);
    EXPECT_EQ(fed.error(), "too many values for the size of the text");
    JsonStreamParser accepted;
    for (std::size_t at = 0; at < list.size(); at += piece)
      ASSERT_TRUE(accepted.feed(std::string_view(list).substr(at, piece)));
    const auto value = accepted.finish();
    ASSERT_TRUE(value) << value.error();
    EXPECT_GT(value->at("files").as_array().size(), 30000u);
  }
}

TEST(JsonStream, ErrorsNameTheirPlace) {
  const std::pair<const char*, const char*> cases[] = {
      {"{}\n{}", "trailing characters at line 2 column 1"},
      {"", " at line 1 column 0"},
      {"{\"a\":\n  tru }", " at line 2 column "},
      {"[1,]", " at line 1 column "},
  };
  for (const auto& [text, place] : cases) {
    JsonStreamParser parser;
    auto fed = parser.feed(text);
    const std::string error = fed ? parser.finish().error() : fed.error();
    EXPECT_NE(error.find(place), std::string::npos) << text << " -> " << error;
  }
  // The place is the same however the text arrives: the count carries across pieces.
  const std::string_view broken = "{\"a\":1,\n\n  \"b\":\n  x}";
  for (std::size_t piece : {1u, 2u, 5u, 100u}) {
    JsonStreamParser parser;
    std::string error;
    for (std::size_t at = 0; at < broken.size() && error.empty(); at += piece)
      if (auto fed = parser.feed(broken.substr(at, piece)); !fed) error = fed.error();
    EXPECT_TRUE(error.ends_with(" at line 4 column 2")) << "pieces of " << piece << ": " << error;
  }
  std::string deep(100, '[');
  EXPECT_FALSE(parse_json(deep + std::string(100, ']')));
}

TEST(JsonStream, RepeatedKeysAreNotedWhereTheyAre) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {R"({"a":1,"b":{"a":2}})", {}},
      {R"({"a":1,"a":2})", {"/a"}},
      {R"({"files":[{"path":"x"},{"path":"a","sha256":"b","path":"c"}]})", {"/files/1/path"}},
      {R"([[0],{"a/b~":{"k":[1],"k":{"k":1,"k":2}}}])", {"/1/a~1b~0/k/k", "/1/a~1b~0/k"}},
  };
  for (const auto& [text, repeated] : cases) {
    JsonStreamParser parser;
    ASSERT_TRUE(parser.feed(text));
    const auto value = parser.finish();
    ASSERT_TRUE(value) << text;
    EXPECT_EQ(*value, json::parse(text)) << text;  // the last value, as before
    EXPECT_EQ(parser.repeated_keys(), repeated) << text;
  }
  std::string many = "{";
  for (int i = 0; i < 100; ++i) many += "\"k\":1,";
  JsonStreamParser parser;
  ASSERT_TRUE(parser.feed(many + "\"k\":2}"));
  ASSERT_TRUE(parser.finish());
  EXPECT_EQ(parser.repeated_keys().size(), JsonStreamParser::MAX_REPEATED_KEYS);
}

TEST(ReadJsonBody, LimitsAndErrors) {
  PiecesBody ok("{\"x\": [1, 2]}\r\n", 3);
  EXPECT_EQ(read_json_body(ok), json::parse(R"({"x":[1,2]})"));

  PiecesBody announced("{}", 1, MAX_BODY_BYTES + 1);
  EXPECT_EQ(read_json_body(announced).error(), "body too large");

  // No length announced (chunked): counted while it arrives; a body of exactly the limit is read.
  const std::string mebibyte(1 << 20, ' ');
  PiecesBody at_limit(mebibyte, 1 << 16, std::nullopt, 256);
  EXPECT_EQ(read_json_body(at_limit).error(),
            "invalid JSON: incomplete JSON at line 1 column 268435456");
  PiecesBody over_limit(mebibyte + " ", 1 << 16, std::nullopt, 256);
  EXPECT_EQ(read_json_body(over_limit).error(), "body too large");

  PiecesBody bad("{\"a\":}", 2);
  EXPECT_TRUE(read_json_body(bad).error().starts_with("invalid JSON: "));
}

}  // namespace
}  // namespace vellora
