#include "report.h"

#include "text.h"

namespace brimful {

std::string waited_text(int milliseconds) {
  if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
  return std::to_string(milliseconds) + " ms";
}

const char* phase_name(Phase phase) {
  switch (phase) {
    case Phase::open_directory: return "open_directory";
    case Phase::create: return "create";
    case Phase::write: return "write";
    case Phase::fsync: return "fsync";
    case Phase::close: return "close";
    case Phase::unlink: return "unlink";
    case Phase::init: return "init";
    case Phase::add_watch: return "add_watch";
  }
  return "";
}

const char* status_name(Status status) {
  switch (status) {
    case Status::confirmed: return "confirmed";
    case Status::no_supported_failure: return "no_supported_failure";
    case Status::unknown: return "unknown";
  }
  return "";
}

const char* cause_name(CauseKind cause) {
  switch (cause) {
    case CauseKind::inode_exhaustion: return "inode_exhaustion";
    case CauseKind::block_exhaustion: return "block_exhaustion";
    case CauseKind::inotify_exhaustion: return "inotify_exhaustion";
    case CauseKind::inotify_instance_exhaustion: return "inotify_instance_exhaustion";
    case CauseKind::read_only_filesystem: return "read_only_filesystem";
  }
  return "";
}

InotifyUsage inotify_usage(const ProcScan& scan) {
  InotifyUsage usage;
  for (const InotifyConsumer& consumer : scan.inotify_consumers) {
    usage.watches = saturating_add(usage.watches, consumer.watches);
    usage.instances = saturating_add(usage.instances, consumer.instances);
  }
  return usage;
}

}  // namespace brimful
