#include "units.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

namespace brimful {

namespace {

// One digit after the point. glibc rounds the exact binary value to the
// nearest tenth with ties to even, so 1.25 gives 1.2 and 1.75 gives 1.8.
// The largest value printed is a saturated count per limit of 1 times 100,
// below 10^22, so the buffer always holds it.
std::string one_decimal(double value) {
  char buffer[64];
  const int length = std::snprintf(buffer, sizeof buffer, "%.1f", value);
  if (length < 0) return {};
  return std::string(buffer, std::min(static_cast<std::size_t>(length), sizeof buffer - 1));
}

}  // namespace

std::string grouped_number(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string grouped;
  grouped.reserve(digits.size() + digits.size() / 3);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string human_size(std::uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double size = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 1;
  // The unit is chosen before rounding: 1048575 bytes stay 1024.0 KiB.
  while (size >= 1024.0 && unit < 4) {
    size /= 1024.0;
    ++unit;
  }
  return one_decimal(size) + " " + kUnits[unit];
}

std::string percent_text(std::uint64_t part, std::uint64_t whole, ZeroPercent zero) {
  if (part == 0 && zero == ZeroPercent::bare) return "0%";
  const double value = whole == 0 ? 0.0 : static_cast<double>(part) * 100.0 / static_cast<double>(whole);
  // A single watch against a large limit would otherwise read as 0.0%.
  if (part > 0 && value < 0.1) return "<0.1%";
  return one_decimal(value) + "%";
}

bool at_least_percent(std::uint64_t part, std::uint64_t whole, std::uint64_t percent) {
  const std::uint64_t floor = whole / 100 * percent;
  const std::uint64_t rest = whole % 100 * percent;  // the hundredths left over
  if (part < floor) return false;
  return part - floor >= (rest + 99) / 100;
}

}  // namespace brimful
