// A strict reader of JSON syntax (RFC 8259), for checking that a document
// brimful wrote is one whole, valid JSON value in valid UTF-8: the scenario
// tests and the encoder's fuzz target share it.
#ifndef BRIMFUL_TESTS_JSON_CHECK_H
#define BRIMFUL_TESTS_JSON_CHECK_H

#include <cstddef>
#include <string_view>

#include "text.h"

namespace brimful::testing {

class JsonSyntax {
 public:
  // True when text is exactly one JSON value, with optional white space
  // around it, and valid UTF-8 throughout.
  static bool valid(std::string_view text) {
    if (!is_valid_utf8(text)) return false;
    JsonSyntax reader(text);
    reader.space();
    if (!reader.value(0)) return false;
    reader.space();
    return reader.pos_ == text.size();
  }

 private:
  explicit JsonSyntax(std::string_view text) : text_(text) {}

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return at_end() ? '\0' : text_[pos_]; }

  void space() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++pos_;
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  static bool is_digit(char c) { return c >= '0' && c <= '9'; }
  static bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

  bool value(int depth) {
    if (depth > 64) return false;
    switch (peek()) {
      case '{': return object(depth);
      case '[': return array(depth);
      case '"': return string();
      case 't': return literal("true");
      case 'f': return literal("false");
      case 'n': return literal("null");
      default: return number();
    }
  }

  bool object(int depth) {
    ++pos_;
    space();
    if (peek() == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      space();
      if (peek() != '"' || !string()) return false;
      space();
      if (peek() != ':') return false;
      ++pos_;
      space();
      if (!value(depth + 1)) return false;
      space();
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() != '}') return false;
      ++pos_;
      return true;
    }
  }

  bool array(int depth) {
    ++pos_;
    space();
    if (peek() == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      space();
      if (!value(depth + 1)) return false;
      space();
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() != ']') return false;
      ++pos_;
      return true;
    }
  }

  bool string() {
    ++pos_;
    while (!at_end()) {
      const auto c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (at_end()) return false;
      const char escape = text_[pos_++];
      if (escape == 'u') {
        for (int i = 0; i < 4; ++i) {
          if (at_end() || !is_hex(text_[pos_++])) return false;
        }
      } else if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
        return false;
      }
    }
    return false;
  }

  bool number() {
    if (peek() == '-') ++pos_;
    if (peek() == '0') {
      ++pos_;
    } else if (is_digit(peek())) {
      while (is_digit(peek())) ++pos_;
    } else {
      return false;
    }
    if (peek() == '.') {
      ++pos_;
      if (!is_digit(peek())) return false;
      while (is_digit(peek())) ++pos_;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!is_digit(peek())) return false;
      while (is_digit(peek())) ++pos_;
    }
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace brimful::testing

#endif  // BRIMFUL_TESTS_JSON_CHECK_H
