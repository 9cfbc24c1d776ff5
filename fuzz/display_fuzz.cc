// The display never lets a control or bidirectional character through, is
// always valid UTF-8, leaves text without them as it is, and is a fixed
// point: showing shown text changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "text.h"

namespace {

bool must_be_escaped(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// True when bytes is UTF-8 holding no character that must be escaped.
bool harmless(std::string_view bytes) {
  char32_t scalar = 0;
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t length = brimful::decode_utf8(bytes, pos, scalar);
    if (length == 0 || must_be_escaped(scalar)) return false;
    pos += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string shown = brimful::display(input);
  FUZZ_CHECK(harmless(shown));
  if (harmless(input)) FUZZ_CHECK(shown == input);
  FUZZ_CHECK(brimful::display(shown) == shown);
  return 0;
}
