// The limit parser accepts exactly a decimal number, with an optional "+"
// and Unicode white space around it, that fits in 64 bits.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "probe.h"
#include "text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::optional<std::uint64_t> value = brimful::parse_inotify_limit(input);
  if (!brimful::is_valid_utf8(input)) {
    FUZZ_CHECK(!value);
    return 0;
  }
  std::string_view digits = brimful::trim_unicode_whitespace(input);
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  const bool all_digits =
      !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
  if (!all_digits) {
    FUZZ_CHECK(!value);
    return 0;
  }
  while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
  // 20 digits may or may not fit; fewer always do, more never.
  if (digits.size() > 20) {
    FUZZ_CHECK(!value);
  } else if (value) {
    FUZZ_CHECK(std::to_string(*value) == digits);
  } else {
    FUZZ_CHECK(digits.size() == 20 && digits > std::string_view("18446744073709551615"));
  }
  return 0;
}
