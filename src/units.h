// How the reports write sizes, counts and shares for a person to read, and
// the share test the rules apply: pure arithmetic on unsigned counts.
#ifndef BRIMFUL_UNITS_H
#define BRIMFUL_UNITS_H

#include <cstdint>
#include <string>

namespace brimful {

// "1,234,567"
std::string grouped_number(std::uint64_t value);

// "512 B", "1.5 KiB" ... "3.0 TiB": binary units with one decimal.
std::string human_size(std::uint64_t bytes);

// How a share of zero is written: the inotify usage lines print "0%", the
// findings "0.0%".
enum class ZeroPercent { bare, one_decimal };

// part / whole as a percentage with one decimal ("12.5%"); a sliver above
// zero is "<0.1%", and a whole of zero counts as a share of 0.
std::string percent_text(std::uint64_t part, std::uint64_t whole, ZeroPercent zero = ZeroPercent::one_decimal);

// part * 100 >= whole * percent, without overflow.
bool at_least_percent(std::uint64_t part, std::uint64_t whole, std::uint64_t percent);

}  // namespace brimful

#endif  // BRIMFUL_UNITS_H
