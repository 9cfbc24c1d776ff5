#include "text.h"

#include <utility>

namespace brimful {

namespace {

// Reads the sequence at pos. Returns how many bytes it covers: the whole
// sequence when valid, else its longest prefix that could still have begun
// a valid one (at least 1), which is what one U+FFFD replaces.
std::size_t read_sequence(std::string_view bytes, std::size_t pos, char32_t& scalar, bool& valid) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = at(pos);
  valid = false;
  if (lead < 0x80) {
    scalar = lead;
    valid = true;
    return 1;
  }
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 1;
  }
  char32_t value = lead & (0xFF >> (length + 1));
  std::size_t i = 1;
  for (; i < length && pos + i < bytes.size(); ++i) {
    const unsigned char next = at(pos + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return i;
    value = (value << 6) | (next & 0x3F);
  }
  if (i < length) return i;  // cut short by the end of the text
  scalar = value;
  valid = true;
  return length;
}

}  // namespace

std::size_t decode_utf8(std::string_view bytes, std::size_t pos, char32_t& scalar) {
  bool valid = false;
  const std::size_t length = read_sequence(bytes, pos, scalar, valid);
  return valid ? length : 0;
}

bool is_valid_utf8(std::string_view bytes) {
  char32_t scalar = 0;
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t length = decode_utf8(bytes, pos, scalar);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  char32_t scalar = 0;
  for (std::size_t pos = 0; pos < bytes.size();) {
    bool valid = false;
    const std::size_t length = read_sequence(bytes, pos, scalar, valid);
    if (valid) {
      text.append(bytes.substr(pos, length));
    } else {
      text += "\xEF\xBF\xBD";
    }
    pos += length;
  }
  return text;
}

namespace {

// Bidirectional formatting characters: they reorder what follows them on the
// line, so a name holding one could make the rest of a line read backwards.
bool is_bidi_control(char32_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string display(std::string_view bytes) {
  static const char hex[] = "0123456789abcdef";
  const std::string text = lossy_utf8(bytes);
  std::string shown;
  shown.reserve(text.size());
  char32_t scalar = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = decode_utf8(text, pos, scalar);  // never 0: text is valid
    if (scalar == '\n') {
      shown += "\\n";
    } else if (scalar == '\t') {
      shown += "\\t";
    } else if (scalar == '\r') {
      shown += "\\r";
    } else if (scalar < 0x20 || scalar == 0x7F) {
      shown += "\\x";
      shown += hex[scalar >> 4];
      shown += hex[scalar & 0xF];
    } else if ((scalar >= 0x80 && scalar <= 0x9F) || is_bidi_control(scalar)) {
      shown += "\\u{";
      for (int shift = 12; shift >= 0; shift -= 4) shown += hex[(scalar >> shift) & 0xF];
      shown += '}';
    } else {
      shown.append(text, pos, length);
    }
    pos += length;
  }
  return shown;
}

bool is_unicode_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

namespace {

// Byte offsets of the first and one past the last character that is not
// white space; an invalid byte counts as a character that is not.
std::pair<std::size_t, std::size_t> non_whitespace_span(std::string_view text) {
  std::size_t first = text.size();
  std::size_t last = 0;
  char32_t scalar = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t length = decode_utf8(text, pos, scalar);
    const bool space = length > 0 && is_unicode_whitespace(scalar);
    if (length == 0) length = 1;
    if (!space) {
      if (first == text.size()) first = pos;
      last = pos + length;
    }
    pos += length;
  }
  if (first == text.size()) return {0, 0};
  return {first, last};
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
  const auto [first, last] = non_whitespace_span(text);
  return text.substr(first, last - first);
}

std::string_view trim_unicode_whitespace_end(std::string_view text) {
  const auto span = non_whitespace_span(text);
  return text.substr(0, span.second);
}

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> components;
  std::size_t pos = 0;
  if (!path.empty() && path[0] == '/') {
    components.push_back(path.substr(0, 1));
    pos = 1;
  }
  while (pos < path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view piece = path.substr(pos, end - pos);
    // "." survives only as the very first component of a relative path.
    if (!piece.empty() && (piece != "." || pos == 0)) components.push_back(piece);
    pos = end + 1;
  }
  return components;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max_value) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (digit > max_value || value > (max_value - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace brimful
