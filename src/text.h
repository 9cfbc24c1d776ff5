// Text helpers every module shares: UTF-8 validation, the lossy view and the
// safe display, Unicode white space, path components and plain decimal
// numbers.
#ifndef BRIMFUL_TEXT_H
#define BRIMFUL_TEXT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimful {

bool is_valid_utf8(std::string_view bytes);

// Shows bytes as UTF-8 text; each maximal invalid subsequence becomes one
// U+FFFD, as Unicode recommends.
std::string lossy_utf8(std::string_view bytes);

// The form in which every text that came from the system or the command line
// is shown to a person: the lossy view, with each control character and each
// bidirectional control written as a visible escape, so that what is shown can
// neither drive the terminal nor break or reorder a line. \n, \t and \r stand
// for themselves, \xHH for the other ASCII controls and DEL, \u{HHHH} for the
// C1 controls and the bidirectional controls (lower-case hex). Everything else, the backslash
// included, is shown unchanged.
std::string display(std::string_view bytes);

// Decodes one UTF-8 scalar value at bytes[pos]; returns its length in bytes
// or 0 when the bytes there are not a valid sequence.
std::size_t decode_utf8(std::string_view bytes, std::size_t pos, char32_t& scalar);

bool is_unicode_whitespace(char32_t scalar);

// Removes Unicode white space from both ends (or only the end) of valid
// UTF-8 text.
std::string_view trim_unicode_whitespace(std::string_view text);
std::string_view trim_unicode_whitespace_end(std::string_view text);

// A path split into components the way brimful compares paths: repeated
// separators count as one, "." is dropped except as the very first component
// of a relative path, a trailing separator makes no difference, ".." stays a
// component of its own. A leading "/" is the root component, written "/".
std::vector<std::string_view> path_components(std::string_view path);

// Parses an unsigned decimal with an optional single leading "+"; digits
// only, no white space, no overflow past the largest value of the type.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max_value);

// Adds without wrapping: the sum stops at the largest unsigned 64-bit value.
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

// Multiplies without wrapping, stopping at the largest value likewise.
inline std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

}  // namespace brimful

#endif  // BRIMFUL_TEXT_H
