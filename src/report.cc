#include "report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brimful {

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

namespace {

// Writes pretty-printed JSON with a two-space indent into one buffer. Keys
// are passed as null for array elements and for the top-level object.
class JsonWriter {
 public:
  void begin_object(const char* key) { open(key, '{', '}'); }
  void begin_array(const char* key) { open(key, '[', ']'); }

  void end() {
    const Container container = stack_.back();
    stack_.pop_back();
    if (container.has_members) {
      out_ += '\n';
      indent();
    }
    out_ += container.close;
  }

  void string(const char* key, std::string_view text) {
    member(key);
    quoted(text);
  }

  // A path is written only when its bytes are UTF-8; otherwise the whole
  // document is refused, never repaired.
  void path(const char* key, std::string_view bytes) {
    if (!is_valid_utf8(bytes)) invalid_path_ = true;
    string(key, bytes);
  }

  void number(const char* key, std::uint64_t value) {
    member(key);
    out_ += std::to_string(value);
  }

  void signed_number(const char* key, std::int64_t value) {
    member(key);
    out_ += std::to_string(value);
  }

  void optional_number(const char* key, const std::optional<std::uint64_t>& value) {
    if (value) {
      number(key, *value);
    } else {
      member(key);
      out_ += "null";
    }
  }

  void optional_string(const char* key, const std::optional<std::string>& value) {
    if (value) {
      string(key, *value);
    } else {
      member(key);
      out_ += "null";
    }
  }

  void boolean(const char* key, bool value) {
    member(key);
    out_ += value ? "true" : "false";
  }

  bool invalid_path() const { return invalid_path_; }
  std::string take() { return std::move(out_); }

 private:
  struct Container {
    char close;
    bool has_members;
  };

  void open(const char* key, char open_char, char close_char) {
    member(key);
    out_ += open_char;
    stack_.push_back(Container{close_char, false});
  }

  void member(const char* key) {
    if (!stack_.empty()) {
      if (stack_.back().has_members) out_ += ',';
      stack_.back().has_members = true;
      out_ += '\n';
      indent();
    }
    if (key != nullptr) {
      quoted(key);
      out_ += ": ";
    }
  }

  void indent() { out_.append(stack_.size() * 2, ' '); }

  void quoted(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    out_ += '"';
    for (char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      switch (byte) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '\b': out_ += "\\b"; break;
        case '\t': out_ += "\\t"; break;
        case '\n': out_ += "\\n"; break;
        case '\f': out_ += "\\f"; break;
        case '\r': out_ += "\\r"; break;
        default:
          if (byte < 0x20) {
            out_ += "\\u00";
            out_ += hex[byte >> 4];
            out_ += hex[byte & 0xF];
          } else {
            out_ += c;
          }
      }
    }
    out_ += '"';
  }

  std::string out_;
  std::vector<Container> stack_;
  bool invalid_path_ = false;
};

void write_outcome(JsonWriter& json, const char* key, const ProbeOutcome& outcome) {
  json.begin_object(key);
  if (is_success(outcome)) {
    json.string("result", "success");
  } else if (const ProbeError* error = probe_error(outcome)) {
    json.string("result", "error");
    json.string("phase", phase_name(error->phase));
    json.begin_object("errno");
    json.signed_number("code", error->error.code);
    json.string("name", error->error.name);
    json.end();
  } else {
    json.string("result", "not_run");
  }
  json.end();
}

void write_evidence(JsonWriter& json, const Evidence& evidence) {
  json.path("target", evidence.target);
  json.boolean("target_exists", evidence.target_exists);
  json.path("probe_directory", evidence.probe_directory);

  const Mount& mount = evidence.mount;
  json.begin_object("mount");
  json.number("mount_id", mount.mount_id);
  json.path("mount_point", mount.mount_point);
  json.optional_string("source", mount.source);
  json.string("fs_type", mount.fs_type);
  json.begin_array("options");
  for (const std::string& option : mount.options) json.string(nullptr, option);
  json.end();
  json.end();

  const Filesystem& fs = evidence.filesystem;
  json.begin_object("filesystem");
  json.number("total_bytes", fs.total_bytes);
  json.number("free_bytes", fs.free_bytes);
  json.number("available_bytes", fs.available_bytes);
  json.number("total_inodes", fs.total_inodes);
  json.number("free_inodes", fs.free_inodes);
  json.boolean("inode_accounting_supported", fs.inode_accounting_supported);
  json.boolean("read_only", fs.read_only);
  json.end();

  json.begin_object("create_probe");
  write_outcome(json, "outcome", evidence.create_probe.outcome);
  json.end();

  json.begin_object("inotify_probe");
  write_outcome(json, "init", evidence.inotify_probe.init);
  write_outcome(json, "add_watch", evidence.inotify_probe.add_watch);
  json.end();

  const InotifyLimits& limits = evidence.inotify_limits;
  json.begin_object("inotify_limits");
  json.optional_number("max_user_watches", limits.max_user_watches);
  json.optional_number("max_user_instances", limits.max_user_instances);
  json.optional_number("max_queued_events", limits.max_queued_events);
  json.end();

  const ProcScan& scan = evidence.proc_scan;
  json.begin_object("proc_scan");
  json.begin_array("deleted_open");
  for (const DeletedOpenFile& file : scan.deleted_open) {
    json.begin_object(nullptr);
    json.number("device", file.device);
    json.number("inode", file.inode);
    json.path("path", file.path);
    json.number("allocated_bytes", file.allocated_bytes);
    json.begin_array("holders");
    for (const Holder& holder : file.holders) {
      json.begin_object(nullptr);
      json.number("pid", holder.pid);
      json.string("process", holder.process);
      json.signed_number("fd", holder.fd);
      json.end();
    }
    json.end();
    json.end();
  }
  json.end();
  json.begin_array("inotify_consumers");
  for (const InotifyConsumer& consumer : scan.inotify_consumers) {
    json.begin_object(nullptr);
    json.number("pid", consumer.pid);
    json.string("process", consumer.process);
    json.number("instances", consumer.instances);
    json.number("watches", consumer.watches);
    json.end();
  }
  json.end();
  json.number("processes_scanned", scan.processes_scanned);
  json.number("processes_inaccessible", scan.processes_inaccessible);
  json.boolean("complete", scan.complete);
  json.end();
}

void write_diagnosis(JsonWriter& json, const Diagnosis& diagnosis) {
  json.begin_object("diagnosis");
  json.string("status", status_name(diagnosis.status));
  json.begin_array("causes");
  for (CauseKind cause : diagnosis.causes) json.string(nullptr, cause_name(cause));
  json.end();
  json.begin_array("contributing");
  for (const Contributing& item : diagnosis.contributing) {
    json.begin_object(nullptr);
    json.string("kind", item.kind);
    json.number("bytes", item.bytes);
    json.string("description", item.description);
    json.end();
  }
  json.end();
  json.begin_array("notes");
  for (const std::string& note : diagnosis.notes) json.string(nullptr, note);
  json.end();
  json.end();
}

}  // namespace

Result<std::string> encode_json(const Evidence& evidence, const Diagnosis& diagnosis) {
  JsonWriter json;
  json.begin_object(nullptr);
  write_evidence(json, evidence);
  write_diagnosis(json, diagnosis);
  json.end();
  if (json.invalid_path()) return fail("path contains invalid UTF-8 characters");
  return json.take();
}

// ---------------------------------------------------------------------------

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

std::string os_error_text(int code) {
  char buffer[256];
  const char* description = strerror_r(code, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(code) + ")";
}

int read_whole_file(const char* path, std::string& content) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  content.clear();
  char buffer[8192];
  int error = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  ::close(fd);
  return error;
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
