// The JSON encoder on a report built from fuzzed strings and numbers. It
// refuses exactly when a path field (target, probe directory, mount point,
// source) or some other text is not UTF-8, paths first; a deleted-open
// path never makes it refuse. Whatever it writes is one valid JSON value.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "json_check.h"
#include "json_writer.h"
#include "report.h"
#include "text.h"

namespace {

using namespace brimful;

// Tracks whether every string handed to the report so far is UTF-8.
struct Builder {
  FuzzedDataProvider& input;
  bool paths_valid = true;
  bool texts_valid = true;

  std::string bytes() { return input.ConsumeRandomLengthString(64); }
  std::string path() {
    std::string value = bytes();
    paths_valid = paths_valid && is_valid_utf8(value);
    return value;
  }
  std::string text() {
    std::string value = bytes();
    texts_valid = texts_valid && is_valid_utf8(value);
    return value;
  }
  std::uint64_t number() { return input.ConsumeIntegral<std::uint64_t>(); }
  std::size_t count() { return input.ConsumeIntegralInRange<std::size_t>(0, 3); }

  ProbeOutcome outcome() {
    switch (input.ConsumeIntegralInRange(0, 2)) {
      case 0: return ProbeSuccess{};
      case 1: return ProbeNotRun{};
      default: {
        ProbeError error;
        error.phase = static_cast<Phase>(input.ConsumeIntegralInRange(0, 7));
        error.error.code = input.ConsumeIntegral<std::int32_t>();
        error.error.name = text();
        return error;
      }
    }
  }

  std::optional<std::uint64_t> optional_number() {
    if (input.ConsumeBool()) return std::nullopt;
    return number();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Builder b{input};

  Evidence e;
  e.target = b.path();
  e.target_exists = input.ConsumeBool();
  e.probe_directory = b.path();
  e.mount.emplace();
  e.mount->mount_id = b.number();
  e.mount->mount_point = b.path();
  if (input.ConsumeBool()) e.mount->source = b.path();
  e.mount->fs_type = b.text();
  for (std::size_t i = b.count(); i > 0; --i) e.mount->options.push_back(b.text());
  e.filesystem.total_bytes = b.number();
  e.filesystem.free_bytes = b.number();
  e.filesystem.available_bytes = b.number();
  e.filesystem.total_inodes = b.number();
  e.filesystem.free_inodes = b.number();
  e.filesystem.inode_accounting_supported = input.ConsumeBool();
  e.filesystem.read_only = input.ConsumeBool();
  e.create_probe.outcome = b.outcome();
  e.inotify_probe.init = b.outcome();
  e.inotify_probe.add_watch = b.outcome();
  e.inotify_limits.max_user_watches = b.optional_number();
  e.inotify_limits.max_user_instances = b.optional_number();
  e.inotify_limits.max_queued_events = b.optional_number();
  // Holders view their names, which must outlive the list's building.
  std::deque<std::string> names;
  std::vector<DeletedOpenEntry> files;
  for (std::size_t i = b.count(); i > 0; --i) {
    DeletedOpenEntry file;
    file.device = b.number();
    file.inode = b.number();
    file.path = b.bytes();  // a stranger's name: any bytes at all
    file.allocated_bytes = b.number();
    for (std::size_t j = b.count(); j > 0; --j) {
      const std::uint32_t pid = input.ConsumeIntegral<std::uint32_t>();
      const std::string& name = names.emplace_back(b.text());
      file.holders.push_back(Holder{pid, name, input.ConsumeIntegral<std::int32_t>()});
    }
    files.push_back(std::move(file));
  }
  e.proc_scan.deleted_open = DeletedOpenFiles(files);
  for (std::size_t i = b.count(); i > 0; --i) {
    e.proc_scan.inotify_consumers.push_back(
        InotifyConsumer{input.ConsumeIntegral<std::uint32_t>(), b.text(), b.number(), b.number()});
  }
  e.proc_scan.processes_scanned = b.number();
  e.proc_scan.processes_inaccessible = b.number();
  e.proc_scan.complete = input.ConsumeBool();

  Diagnosis d;
  d.status = static_cast<Status>(input.ConsumeIntegralInRange(0, 2));
  for (std::size_t i = b.count(); i > 0; --i) {
    d.causes.push_back(static_cast<CauseKind>(input.ConsumeIntegralInRange(0, 4)));
  }
  for (std::size_t i = b.count(); i > 0; --i) d.contributing.push_back(Contributing{b.text(), b.number(), b.text()});
  for (std::size_t i = b.count(); i > 0; --i) d.notes.push_back(b.text());

  const Result<std::string> json = encode_json(e, d);
  if (!b.paths_valid) {
    FUZZ_CHECK(!json.ok() && json.error() == "path contains invalid UTF-8 characters");
  } else if (!b.texts_valid) {
    FUZZ_CHECK(!json.ok() && json.error() == "text contains invalid UTF-8 characters");
  } else {
    FUZZ_CHECK(json.ok());
    FUZZ_CHECK(testing::JsonSyntax::valid(json.value()));
  }
  return 0;
}
