// The run driver: parse the command line, collect, diagnose, print, exit.

#include <malloc.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bounded_call.h"
#include "cli.h"
#include "collect.h"
#include "diagnosis.h"
#include "facts.h"
#include "findings.h"
#include "json_writer.h"
#include "metrics.h"
#include "output_file.h"
#include "process_view.h"
#include "render.h"
#include "report.h"
#include "text.h"
#include "watchdog.h"

// ---------------------------------------------------------------------------
// Running out of memory ends the program at once with one line that names the
// request; there is nothing sensible to report about a half-built report.

namespace {

[[noreturn]] void allocation_failed(std::size_t size) {
  char message[64] = "memory allocation of ";
  std::size_t length = std::strlen(message);
  char digits[24];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + size % 10);
    size /= 10;
  } while (size != 0);
  while (count > 0) message[length++] = digits[--count];
  const char tail[] = " bytes failed\n";
  std::memcpy(message + length, tail, sizeof tail - 1);
  length += sizeof tail - 1;
  ssize_t ignored = ::write(2, message, length);
  (void)ignored;
  std::abort();
}

void* allocate(std::size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) allocation_failed(size);
  return memory;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace brimful {
namespace {

// A failed write of the report or of a message must not pass for success.
constexpr int kStatusWriteFailed = 2;

[[noreturn]] void printing_failed(const char* stream, const std::string& reason) {
  if (std::strcmp(stream, "stderr") != 0) {
    const std::string message = std::string("failed printing to ") + stream + ": " + reason + "\n";
    std::size_t done = 0;
    while (done < message.size()) {
      const ssize_t n = ::write(2, message.data() + done, message.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  }
  std::_Exit(kStatusWriteFailed);
}

// The caller may hand over a non-blocking pipe or socket: a full one is
// waited for, never busily retried and never taken for a failure.
void print(int fd, std::string_view text) {
  const char* stream = fd == 1 ? "stdout" : "stderr";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) printing_failed(stream, "write accepted no bytes");
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) printing_failed(stream, os_error_text(errno));
    pollfd ready{fd, POLLOUT, 0};
    while (::poll(&ready, 1, -1) < 0) {
      if (errno != EINTR) printing_failed(stream, os_error_text(errno));
    }
  }
}

// While a long process scan runs, one line on a terminal's standard error
// tells how far it has come. It shows only after the scan has run for a
// second, and is erased before anything else is printed. Standard output
// never carries it, and a failed write of it is ignored.
class ProgressLine {
 public:
  ProgressLine() : terminal_(::isatty(2) == 1) {}
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine() { erase(); }

  void update(std::uint64_t scanned, std::uint64_t total) {
    if (!terminal_) return;
    const Clock::time_point now = Clock::now();
    if (!started_) {
      started_ = true;
      start_ = now;
    }
    if (now - start_ < std::chrono::seconds(1)) return;
    std::string text = "\rscanning processes: " + std::to_string(scanned) + " of " + std::to_string(total);
    const std::size_t width = text.size();
    if (width < width_) text.append(width_ - width, ' ');
    width_ = width;
    // A stderr that takes nothing costs the progress line only.
    write_all(STDERR_FILENO, text);
  }

  void erase() {
    if (width_ == 0) return;
    write_all(STDERR_FILENO, "\r" + std::string(width_, ' ') + "\r");
    width_ = 0;
  }

 private:
  using Clock = std::chrono::steady_clock;

  const bool terminal_;
  bool started_ = false;
  Clock::time_point start_;
  std::size_t width_ = 0;  // of the line shown, 0 when none is
};

int check_status(Status status) {
  switch (status) {
    case Status::confirmed: return 1;
    case Status::no_supported_failure: return 0;
    case Status::unknown: return 3;
  }
  return 3;
}

double clock_seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Where a report goes: standard output as it is written, or under --output
// gathered whole and put in place of the file at the end. When the run or
// the replacement fails, the previous file stays, so a reader keeps stale
// numbers, whose age tells that the runs fail, rather than none.
class ReportSink {
 public:
  explicit ReportSink(const std::optional<OsPath>& file) : file_(file) {}

  void operator()(std::string_view chunk) {
    if (file_) gathered_ += chunk;
    else print(1, chunk);
  }

  // The exit status: the run's own, or 2 when the file cannot be replaced.
  int finish(int status) {
    if (!file_) return status;
    // Readable by the collector, which runs as another user.
    const Result<Replaced> replaced = replace_file(*file_, gathered_, 0644);
    if (replaced.ok()) return status;
    print(2, "brimful: " + replaced.error() + "\n");
    return 2;
  }

 private:
  const std::optional<OsPath>& file_;
  std::string gathered_;
};

// Collects the evidence through the view, with a progress line on a
// terminal while the process scan runs.
Result<Evidence> collect(const OsPath& path, const CommandLine& command_line, const Viewpoint& view) {
  ProgressLine progress;
  Result<Evidence> evidence =
      collect_evidence(path, command_line.no_probe, view,
                       [&progress](std::uint64_t scanned, std::uint64_t total) { progress.update(scanned, total); });
  progress.erase();
  return evidence;
}

// Writes one report in the format asked for; false when the report cannot
// be encoded (the message is printed).
bool emit_report(const CommandLine& command_line, const Evidence& evidence, const Diagnosis& diagnosis,
                 const std::optional<std::vector<Finding>>& findings, const RunInfo& run_info, ReportSink& emit) {
  const std::vector<Finding>* shown_findings = findings ? &*findings : nullptr;
  Diagnosis shown_diagnosis = diagnosis;
  if (findings) shown_diagnosis.notes = notes_beside(diagnosis.notes, *findings);
  if (command_line.prometheus) {
    std::vector<std::string> finding_kinds;
    if (findings) {
      for (const Finding& finding : *findings) finding_kinds.push_back(finding.kind);
    }
    emit(render_metrics(evidence, diagnosis, run_info, finding_kinds));
  } else if (command_line.json) {
    // Written in pieces: a report of many files is never held whole.
    const Result<std::uint64_t> json =
        write_json(evidence, shown_diagnosis, shown_findings, [&emit](std::string_view chunk) { emit(chunk); });
    if (!json.ok()) {
      print(2, "brimful: cannot serialize report: " + json.error() + "\n");
      return false;
    }
    emit("\n");
  } else {
    print(1, render_text(evidence, shown_diagnosis, command_line.verbose, shown_findings));
    print(1, "\n");
  }
  return true;
}

// A call that a filesystem did not answer may still wake up on the thread
// it was left on: the process then ends at once, without tearing down
// anything under it. Everything it printed or wrote is out already.
struct Reports {
  const Evidence* first;
  std::size_t count;
  // A call for --explain's facts went unanswered.
  bool facts_unanswered;
};
int end_run(int status, Reports reports) {
  if (reports.facts_unanswered) std::_Exit(status);
  for (std::size_t i = 0; i < reports.count; ++i) {
    if (reports.first[i].unanswered != Unanswered::none) std::_Exit(status);
  }
  return status;
}

int run(const CommandLine& command_line, std::int64_t run_ends_ms) {
  RunInfo run_info;
  run_info.start_time_seconds = clock_seconds(CLOCK_REALTIME);
  const double started = clock_seconds(CLOCK_MONOTONIC);
  // Under --pid the whole run takes that process's place first and reads
  // through its view, so nothing after this point needs to know which
  // process it speaks for.
  OsPath path = command_line.path;
  Viewpoint view;
  view.run_ends_ms = run_ends_ms;
  if (command_line.pid) {
    Result<ProcessView> entered = enter_process_view(*command_line.pid, command_line.path, run_ends_ms);
    if (!entered.ok()) {
      print(2, "brimful: " + entered.error() + "\n");
      // Entering may have left a thread waiting on a directory that did not
      // answer: nothing is torn down under it, as in end_run.
      std::_Exit(2);
    }
    path = std::move(entered.value().path);
    view = std::move(entered.value().view);
  }
  const Result<Evidence> evidence = collect(path, command_line, view);
  if (!evidence.ok()) {
    print(2, "brimful: " + evidence.error() + "\n");
    return 2;
  }
  const Diagnosis diagnosis = diagnose(evidence.value());
  // Findings never feed back into the verdict or the exit status.
  std::optional<std::vector<Finding>> findings;
  bool facts_unanswered = false;
  const auto explain = [&]() {
    const ExplainFacts facts = gather_explain_facts(evidence.value(), view);
    facts_unanswered = facts_unanswered || !facts.unanswered.empty();
    return find_findings(evidence.value(), diagnosis, facts);
  };
  if (command_line.explain) findings = explain();
  run_info.duration_seconds = clock_seconds(CLOCK_MONOTONIC) - started;
  ReportSink emit(command_line.output);
  if (!emit_report(command_line, evidence.value(), diagnosis, findings, run_info, emit)) return 2;
  // A person at a terminal learns that --explain has more to say; the
  // output and the status stay as they are, and a failed write is ignored.
  if (!command_line.explain && ::isatty(2) == 1) {
    (void)write_all(STDERR_FILENO, more_findings_hint(explain()));
  }
  return end_run(emit.finish(command_line.check ? check_status(diagnosis.status) : 0),
                 {&evidence.value(), 1, facts_unanswered});
}

// The worst verdict of several: a confirmed cause, then an unknown result.
Status worst_status(const std::vector<Diagnosis>& diagnoses) {
  Status worst = Status::no_supported_failure;
  for (const Diagnosis& diagnosis : diagnoses) {
    if (diagnosis.status == Status::confirmed) return Status::confirmed;
    if (diagnosis.status == Status::unknown) worst = Status::unknown;
  }
  return worst;
}

// JSON of one filesystem inside the host document's array: the report
// indented one level deeper. Strings never hold a raw newline, so every one
// starts a line.
class IndentedChunks {
 public:
  explicit IndentedChunks(ReportSink& sink) : sink_(sink) {}
  void operator()(std::string_view chunk) {
    std::string out;
    for (const char c : chunk) {
      out += c;
      if (c == '\n') out += "    ";
    }
    sink_(out);
  }

 private:
  ReportSink& sink_;
};

// The host's reports in the format asked for; false when one cannot be
// encoded (the message is printed, and nothing of the document is out).
bool emit_host_report(const CommandLine& command_line, const std::vector<Evidence>& host,
                      const std::vector<Diagnosis>& diagnoses,
                      const std::vector<std::optional<std::vector<Finding>>>& findings, const RunInfo& run_info,
                      ReportSink& emit) {
  const auto shown = [&findings](std::size_t i) { return findings[i] ? &*findings[i] : nullptr; };
  if (command_line.prometheus) {
    std::vector<MetricsReport> reports;
    for (std::size_t i = 0; i < host.size(); ++i) {
      MetricsReport report{&host[i], &diagnoses[i], {}};
      if (findings[i]) {
        for (const Finding& finding : *findings[i]) report.finding_kinds.push_back(finding.kind);
      }
      reports.push_back(std::move(report));
    }
    emit(render_metrics(reports, run_info));
  } else if (command_line.json) {
    // Every report is tried first, so that one that cannot be written ends
    // the run before half a document is out.
    for (std::size_t i = 0; i < host.size(); ++i) {
      const Result<std::uint64_t> json = write_json(host[i], diagnoses[i], shown(i), [](std::string_view) {});
      if (!json.ok()) {
        print(2, "brimful: cannot serialize report: " + json.error() + "\n");
        return false;
      }
    }
    emit(host.empty() ? "{\n  \"filesystems\": []" : "{\n  \"filesystems\": [");
    for (std::size_t i = 0; i < host.size(); ++i) {
      emit(i == 0 ? "\n    " : ",\n    ");
      (void)write_json(host[i], diagnoses[i], shown(i), IndentedChunks(emit));
    }
    emit(host.empty() ? "\n}\n" : "\n  ]\n}\n");
  } else {
    std::string text = render_host_summary(host, diagnoses) + "\n";
    for (std::size_t i = 0; i < host.size(); ++i) {
      if (diagnoses[i].status == Status::no_supported_failure) continue;
      text += "\n" + render_text(host[i], diagnoses[i], command_line.verbose, shown(i)) + "\n";
    }
    print(1, text);
  }
  return true;
}

// Every filesystem of the host: the same evidence, verdict and findings as
// a run on each mount point, with one process scan for all of them.
int run_host(const CommandLine& command_line, std::int64_t run_ends_ms) {
  RunInfo run_info;
  run_info.start_time_seconds = clock_seconds(CLOCK_REALTIME);
  const double started = clock_seconds(CLOCK_MONOTONIC);
  ProgressLine progress;
  Viewpoint view;
  view.run_ends_ms = run_ends_ms;
  Result<std::vector<Evidence>> collected = collect_host_evidence(
      command_line.no_probe, view,
      [&progress](std::uint64_t scanned, std::uint64_t total) { progress.update(scanned, total); });
  progress.erase();
  if (!collected.ok()) {
    print(2, "brimful: " + collected.error() + "\n");
    return 2;
  }
  const std::vector<Evidence>& host = collected.value();
  std::vector<Diagnosis> diagnoses;
  std::vector<std::optional<std::vector<Finding>>> findings(host.size());
  bool facts_unanswered = false;
  const HostFacts host_facts = command_line.explain ? gather_host_facts(view) : HostFacts{};
  for (std::size_t i = 0; i < host.size(); ++i) {
    diagnoses.push_back(diagnose(host[i]));
    if (!command_line.explain) continue;
    const ExplainFacts facts = gather_explain_facts(host[i], view, nullptr, &host_facts);
    facts_unanswered = facts_unanswered || !facts.unanswered.empty();
    findings[i] = find_findings(host[i], diagnoses[i], facts);
  }
  run_info.duration_seconds = clock_seconds(CLOCK_MONOTONIC) - started;
  ReportSink emit(command_line.output);
  if (!emit_host_report(command_line, host, diagnoses, findings, run_info, emit)) return 2;
  return end_run(emit.finish(command_line.check ? check_status(worst_status(diagnoses)) : 0),
                 {host.data(), host.size(), facts_unanswered});
}

// The process scan holds a few descriptors per process it reads; a caller's
// low soft limit would otherwise pass for processes it may not read. Raising
// the soft limit up to the hard one needs no privilege.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

// A scan of a host with many deleted-open files builds and frees buffers of
// megabytes. By default glibc raises its mmap threshold to the size of each
// large buffer freed, and the ones after it then come from the heap, which
// keeps what they free; a fixed threshold hands them back to the system.
void keep_large_buffers_apart() { (void)::mallopt(M_MMAP_THRESHOLD, 128 * 1024); }

}  // namespace
}  // namespace brimful

int main(int argc, char** argv) {
  using namespace brimful;
  // A closed pipe should surface as a write error, not kill the run.
  std::signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();
  keep_large_buffers_apart();

  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

  const ParseOutcome outcome = parse_command_line(args);
  if (const ShowText* shown = std::get_if<ShowText>(&outcome)) {
    print(1, std::string(shown->text) + "\n");
    return 0;
  }
  if (const UsageError* usage = std::get_if<UsageError>(&outcome)) {
    print(2, "error: " + usage->message + "\n\n" + kHelp + "\n");
    return 2;
  }
  const CommandLine& command_line = std::get<CommandLine>(outcome);
  // From here on nothing can keep the run going past its bound.
  const std::int64_t run_ends_ms = monotonic_ms() + std::int64_t{command_line.timeout_seconds} * 1000;
  start_watchdog(command_line.timeout_seconds);
  return command_line.all ? run_host(command_line, run_ends_ms) : run(command_line, run_ends_ms);
}
