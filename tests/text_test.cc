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

TEST(SharedDisplay, ControlsAndBidiBecomeVisibleEscapes) {
  struct Case {
    std::string bytes;
    std::string shown;
  };
  const Case cases[] = {
      {"/srv/data", "/srv/data"},
      {"", ""},
      {"a\\b \\x41", "a\\b \\x41"},                        // printable text, backslash too
      {"l\xc3\xb6g \xe2\x80\xa6 \xf0\x9f\x98\x80", "l\xc3\xb6g \xe2\x80\xa6 \xf0\x9f\x98\x80"},
      {"held\nfake line", "held\\nfake line"},
      {"a\tb\rc", "a\\tb\\rc"},
      {std::string("\0\x01\x1b[2J\x1f\x7f", 8), "\\x00\\x01\\x1b[2J\\x1f\\x7f"},
      {"\xc2\x80\xc2\x9b" "1m\xc2\x9f\xc2\xa0", "\\u{0080}\\u{009b}1m\\u{009f}\xc2\xa0"},  // C1; NBSP is not one
      {"\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f", "\\u{061c}\\u{200e}\\u{200f}"},
      {"\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9", "\\u{202a}\\u{202e}\\u{2066}\\u{2069}"},
      {"\xe2\x80\xa9\xe2\x81\xaa", "\xe2\x80\xa9\xe2\x81\xaa"},  // U+2029, U+206A: neighbours, not escaped
      {"bad\xff\x9b" "x", "bad\xef\xbf\xbd\xef\xbf\xbdx"},       // invalid bytes are U+FFFD, not C1
  };
  for (const Case& c : cases) EXPECT_EQ(display(c.bytes), c.shown) << ::testing::PrintToString(c.bytes);
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
