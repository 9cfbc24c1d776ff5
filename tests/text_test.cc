#include "text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brimful {
namespace {

TEST(SharedUtf8, LossyConversionReplacesEachMaximalInvalidSubsequence) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string bytes;
    std::string shown;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"a\xffz", "a" + fffd + "z"},
      {"\xe2\x80", fffd},                       // truncated three-byte form
      {"\xe2\x80z", fffd + "z"},                // truncated, then ASCII
      {"\xf0\x9f\x98", fffd},                   // truncated four-byte form
      {"\xc0\xaf", fffd + fffd},                // overlong: C0 never leads
      {"\xe0\x80\xaf", fffd + fffd + fffd},     // overlong three-byte
      {"\xed\xa0\x80", fffd + fffd + fffd},     // surrogate U+D800
      {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
      {"\xf5\xfe\xff", fffd + fffd + fffd},
      {"\x80\x80", fffd + fffd},                // lone continuation bytes
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"}, // valid emoji
      {"\xed\x9f\xbf", "\xed\x9f\xbf"},         // U+D7FF is valid
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lossy_utf8(c.bytes), c.shown) << ::testing::PrintToString(c.bytes);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.bytes == c.shown) << ::testing::PrintToString(c.bytes);
  }
}

TEST(SharedText, TrimRemovesUnicodeWhiteSpaceOnly) {
  struct Case {
    std::string text;
    std::string trimmed;
  };
  const Case cases[] = {
      {"  8192\n", "8192"},
      {"\xc2\xa0x\xe3\x80\x80", "x"},            // U+00A0 and U+3000
      {"\xe2\x80\x8b" "x", "\xe2\x80\x8b" "x"},  // U+200B is not white space
      {"\xc2\x85 a b \xe2\x80\xa9", "a b"},      // U+0085 and U+2029
      {"\t\v\f\r", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_unicode_whitespace(c.text), c.trimmed) << c.text;
  EXPECT_EQ(trim_unicode_whitespace_end("  a \n"), "  a");
}

TEST(SharedPaths, ComponentsFollowTheLexicalRules) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(path_components("/"), (V{"/"}));
  EXPECT_EQ(path_components("/a/b/"), (V{"/", "a", "b"}));
  EXPECT_EQ(path_components("//a//./b/."), (V{"/", "a", "b"}));
  EXPECT_EQ(path_components("/a/../b"), (V{"/", "a", "..", "b"}));
  EXPECT_EQ(path_components("./a/."), (V{".", "a"}));
  EXPECT_EQ(path_components("a/./b"), (V{"a", "b"}));
  EXPECT_EQ(path_components("anon_inode:inotify/"), (V{"anon_inode:inotify"}));
  EXPECT_EQ(path_components(""), (V{}));
}

TEST(SharedNumbers, ParseUnsigned) {
  struct Case {
    const char* text;
    std::optional<std::uint64_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"+7", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-1", std::nullopt},
      {"++1", std::nullopt},
      {"1 2", std::nullopt},
      {"0x10", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_unsigned(c.text, UINT64_MAX), c.value) << c.text;
  EXPECT_EQ(parse_unsigned("4294967295", UINT32_MAX), 4294967295u);
  EXPECT_EQ(parse_unsigned("4294967296", UINT32_MAX), std::nullopt);
  EXPECT_EQ(parse_unsigned("7", 5), std::nullopt);  // a digit above a small limit
  EXPECT_EQ(parse_unsigned("5", 5), 5u);
  EXPECT_EQ(saturating_add(UINT64_MAX - 1, 5), UINT64_MAX);
}

}  // namespace
}  // namespace brimful
