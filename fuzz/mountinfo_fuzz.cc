// The mount table parser and the lookup on what it parsed. A failure is one
// line of valid UTF-8 naming the line; a table that parses gives text types
// and sorted, distinct options, and every mount point finds a mount at
// least as deep as itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "mountinfo.h"
#include "text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const brimful::Result<std::vector<brimful::Mount>> table = brimful::parse_mountinfo(input);
  if (!table.ok()) {
    const std::string& message = table.error();
    FUZZ_CHECK(message.rfind("mountinfo line ", 0) == 0);
    FUZZ_CHECK(brimful::is_valid_utf8(message));
    FUZZ_CHECK(message.find('\n') == std::string::npos && message.find('\r') == std::string::npos);
    return 0;
  }
  const std::vector<brimful::Mount>& mounts = table.value();
  for (const brimful::Mount& mount : mounts) {
    FUZZ_CHECK(brimful::is_valid_utf8(mount.fs_type));
    for (const std::string& option : mount.options) FUZZ_CHECK(brimful::is_valid_utf8(option));
    FUZZ_CHECK(std::adjacent_find(mount.options.begin(), mount.options.end(),
                                  [](const std::string& a, const std::string& b) { return a >= b; }) ==
               mount.options.end());
    FUZZ_CHECK(!mount.source || (!mount.source->empty() && *mount.source != "none"));
  }

  const std::size_t lookups = std::min<std::size_t>(mounts.size(), 16);
  for (std::size_t i = 0; i < lookups; ++i) {
    const brimful::Mount& mount = mounts[i];
    // By ID: the first mount with that ID, whatever the path.
    const brimful::Mount* by_id = brimful::select_mount(mounts, "/", mount.mount_id);
    FUZZ_CHECK(by_id != nullptr && by_id->mount_id == mount.mount_id && by_id <= &mount);

    if (mount.mount_point.empty() || mount.mount_point[0] != '/') continue;
    const std::string path = mount.mount_point + "/below";
    const brimful::Mount* found = brimful::select_mount(mounts, path, std::nullopt);
    FUZZ_CHECK(found != nullptr);
    const std::vector<std::string_view> found_parts = brimful::path_components(found->mount_point);
    const std::vector<std::string_view> path_parts = brimful::path_components(path);
    FUZZ_CHECK(found_parts.size() >= brimful::path_components(mount.mount_point).size());
    FUZZ_CHECK(found_parts.size() <= path_parts.size() &&
               std::equal(found_parts.begin(), found_parts.end(), path_parts.begin()));
  }
  return 0;
}
