// The rules the process scan applies to what /proc shows it: entry names
// taken as PIDs, descriptor names, the inotify link text and the watch lines
// of an fdinfo text. The first byte picks the rule, the rest is the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "scan_rules.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0: {
      // A PID is digits only, and reads back as itself.
      const std::optional<std::uint32_t> pid = brimful::parse_pid(input);
      if (pid) {
        require(all_digits(input));
        require(std::strtoull(std::string(input).c_str(), nullptr, 10) == *pid);
      }
      break;
    }
    case 1: {
      // A descriptor is a sign at most and digits, and reads back as itself.
      const std::optional<std::int32_t> fd = brimful::parse_descriptor(input);
      if (fd) {
        std::string_view digits = input;
        if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
        require(all_digits(digits));
        require(std::strtoll(std::string(input).c_str(), nullptr, 10) == *fd);
      }
      break;
    }
    case 2: {
      // Only texts holding the name can be an instance, and the name itself
      // and with a trailing separator are.
      const bool instance = brimful::is_inotify_instance(input);
      if (instance) require(input.find("anon_inode:inotify") != std::string_view::npos);
      if (input == "anon_inode:inotify" || input == "anon_inode:inotify/") require(instance);
      break;
    }
    case 3: {
      // No more watches than lines, and each counted line begins with the
      // prefix: a text with the prefix removed everywhere has none.
      const std::uint64_t watches = brimful::count_watch_lines(input);
      std::uint64_t lines = input.empty() ? 0 : 1;
      for (char c : input) lines += c == '\n';
      require(watches <= lines);
      if (input.find("inotify wd:") == std::string_view::npos) require(watches == 0);
      break;
    }
  }
  return 0;
}
