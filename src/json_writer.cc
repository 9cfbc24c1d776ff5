#include "json_writer.h"

#include <optional>

#include "text.h"

namespace brimful {

namespace {

// Writes pretty-printed JSON with a two-space indent into one buffer, or
// hands it on in pieces of about 64 KiB. Keys are passed as null for array
// elements and for the top-level object.
class JsonWriter {
 public:
  JsonWriter() = default;
  explicit JsonWriter(const JsonChunks* chunks) : chunks_(chunks) {}

  // Hands on what is buffered; the document's end needs it.
  void flush() {
    if (chunks_ == nullptr || out_.empty()) return;
    (*chunks_)(out_);
    written_ += out_.size();
    out_.clear();
  }
  std::uint64_t written() const { return written_; }

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

  // Text that is not UTF-8 is never written: the whole document is refused,
  // never repaired.
  void string(const char* key, std::string_view text) {
    if (!is_valid_utf8(text)) invalid_text_ = true;
    member(key);
    quoted(text);
  }

  void path(const char* key, std::string_view bytes) {
    if (!is_valid_utf8(bytes)) invalid_path_ = true;
    string(key, bytes);
  }

  void optional_path(const char* key, const std::optional<OsPath>& bytes) {
    if (bytes) {
      path(key, *bytes);
    } else {
      member(key);
      out_ += "null";
    }
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

  void null(const char* key) {
    member(key);
    out_ += "null";
  }

  void boolean(const char* key, bool value) {
    member(key);
    out_ += value ? "true" : "false";
  }

  bool invalid_path() const { return invalid_path_; }
  bool invalid_text() const { return invalid_text_; }
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
    if (chunks_ != nullptr && out_.size() >= kChunk) flush();
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

  static constexpr std::size_t kChunk = 65536;

  std::string out_;
  std::vector<Container> stack_;
  bool invalid_path_ = false;
  bool invalid_text_ = false;
  const JsonChunks* chunks_ = nullptr;
  std::uint64_t written_ = 0;
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

void write_mount(JsonWriter& json, const std::optional<Mount>& mount) {
  if (!mount) {
    json.null("mount");
    return;
  }
  json.begin_object("mount");
  json.number("mount_id", mount->mount_id);
  json.path("mount_point", mount->mount_point);
  json.optional_path("source", mount->source);
  json.string("fs_type", mount->fs_type);
  json.begin_array("options");
  for (const std::string& option : mount->options) json.string(nullptr, option);
  json.end();
  json.end();
}

void write_filesystem(JsonWriter& json, const Filesystem& fs) {
  json.begin_object("filesystem");
  json.number("total_bytes", fs.total_bytes);
  json.number("free_bytes", fs.free_bytes);
  json.number("available_bytes", fs.available_bytes);
  json.number("total_inodes", fs.total_inodes);
  json.number("free_inodes", fs.free_inodes);
  json.boolean("inode_accounting_supported", fs.inode_accounting_supported);
  json.boolean("read_only", fs.read_only);
  json.end();
}

void write_probes(JsonWriter& json, const Evidence& evidence) {
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
}

void write_deleted_open(JsonWriter& json, const DeletedOpenFiles& files) {
  json.begin_array("deleted_open");
  for (const DeletedOpenFile& file : files) {
    json.begin_object(nullptr);
    json.number("device", file.device);
    json.number("inode", file.inode);
    json.string("path", lossy_utf8(file.path));
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
}

void write_proc_scan(JsonWriter& json, const ProcScan& scan) {
  json.begin_object("proc_scan");
  write_deleted_open(json, scan.deleted_open);
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
  // Rare, and absent where it does not apply, as in every report before it.
  if (scan.processes_leader_exited > 0) json.number("processes_leader_exited", scan.processes_leader_exited);
  json.boolean("complete", scan.complete);
  json.end();
}

void write_evidence(JsonWriter& json, const Evidence& evidence) {
  json.path("target", evidence.target);
  if (evidence.as_seen_by) {
    json.begin_object("as_seen_by");
    json.number("pid", evidence.as_seen_by->pid);
    json.string("process", evidence.as_seen_by->process);
    json.end();
  }
  json.boolean("target_exists", evidence.target_exists);
  json.path("probe_directory", evidence.probe_directory);
  write_mount(json, evidence.mount);
  if (evidence.unanswered == Unanswered::statfs) json.null("filesystem");
  else write_filesystem(json, evidence.filesystem);
  write_probes(json, evidence);
  write_proc_scan(json, evidence.proc_scan);
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

void write_findings(JsonWriter& json, const std::vector<Finding>& findings) {
  json.begin_array("findings");
  for (const Finding& finding : findings) {
    json.begin_object(nullptr);
    json.string("kind", finding.kind);
    json.string("summary", finding.summary);
    json.string("remedy", finding.remedy);
    json.end();
  }
  json.end();
}

void write_document(JsonWriter& json, const Evidence& evidence, const Diagnosis& diagnosis,
                    const std::vector<Finding>* findings) {
  json.begin_object(nullptr);
  write_evidence(json, evidence);
  write_diagnosis(json, diagnosis);
  if (findings != nullptr) write_findings(json, *findings);
  json.end();
}

// Why a written document must not be used, or null when it may.
const char* refusal(const JsonWriter& json) {
  if (json.invalid_path()) return "path contains invalid UTF-8 characters";
  if (json.invalid_text()) return "text contains invalid UTF-8 characters";
  return nullptr;
}

}  // namespace

Result<std::string> encode_json(const Evidence& evidence, const Diagnosis& diagnosis,
                                const std::vector<Finding>* findings) {
  JsonWriter json;
  write_document(json, evidence, diagnosis, findings);
  if (const char* why = refusal(json)) return fail(why);
  return json.take();
}

Result<std::uint64_t> write_json(const Evidence& evidence, const Diagnosis& diagnosis,
                                 const std::vector<Finding>* findings, const JsonChunks& chunks) {
  // A first pass that keeps nothing finds a path that cannot be written
  // before any of the document is handed on.
  const JsonChunks discard = [](std::string_view) {};
  JsonWriter check(&discard);
  write_document(check, evidence, diagnosis, findings);
  if (const char* why = refusal(check)) return fail(why);
  JsonWriter json(&chunks);
  write_document(json, evidence, diagnosis, findings);
  json.flush();
  return json.written();
}

}  // namespace brimful
