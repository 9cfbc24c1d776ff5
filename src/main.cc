// The run driver: parse the command line, collect, diagnose, print, exit.

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "collect.h"
#include "diagnosis.h"
#include "facts.h"
#include "findings.h"
#include "render.h"
#include "report.h"

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

constexpr const char* kHelp =
    "brimful \xE2\x80\x94 evidence-based Linux ENOSPC diagnosis\n"
    "\n"
    "USAGE:\n"
    "    brimful PATH [--json] [--verbose] [--no-probe] [--check]\n"
    "\n"
    "OPTIONS:\n"
    "    --json       Emit machine-readable JSON\n"
    "    --verbose    Show all process evidence instead of the top entries\n"
    "    --no-probe   Do not create a temporary file or add an inotify watch\n"
    "    --check      Exit 1 for confirmed failure or 3 for an unknown result\n"
    "    --explain    Also report findings that the verdict alone cannot confirm\n"
    "    -h, --help   Show this help\n"
    "    -V, --version\n"
    "                 Show the version";

constexpr const char* kVersion = "brimful 0.1.6";

// A failed write of the report or of a message must not pass for success.
constexpr int kStatusWriteFailed = 2;

[[noreturn]] void printing_failed(const char* stream, int error) {
  if (std::strcmp(stream, "stderr") != 0) {
    const std::string message = std::string("failed printing to ") + stream + ": " + os_error_text(error) + "\n";
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

void print(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) printing_failed(fd == 1 ? "stdout" : "stderr", errno);
    done += static_cast<std::size_t>(n);
  }
}

struct CommandLine {
  OsPath path;
  bool json = false;
  bool verbose = false;
  bool no_probe = false;
  bool check = false;
  bool explain = false;
};

struct Done {};
struct UsageError {
  std::string message;
};
using ParseOutcome = std::variant<CommandLine, Done, UsageError>;

// Arguments are taken strictly left to right and the first one that decides
// the outcome ends the examination, so "-h --bogus" helps and "--bogus -h"
// does not.
ParseOutcome parse_command_line(const std::vector<std::string>& args) {
  CommandLine command_line;
  bool have_path = false;
  for (const std::string& arg : args) {
    // A name that is not UTF-8 cannot be an option, whatever it starts with.
    const bool text = is_valid_utf8(arg);
    if (text) {
      if (arg == "-h" || arg == "--help") {
        print(1, std::string(kHelp) + "\n");
        return Done{};
      }
      if (arg == "-V" || arg == "--version") {
        print(1, std::string(kVersion) + "\n");
        return Done{};
      }
      if (arg == "--json") {
        command_line.json = true;
        continue;
      }
      if (arg == "--verbose") {
        command_line.verbose = true;
        continue;
      }
      if (arg == "--no-probe") {
        command_line.no_probe = true;
        continue;
      }
      if (arg == "--check") {
        command_line.check = true;
        continue;
      }
      if (arg == "--explain") {
        command_line.explain = true;
        continue;
      }
      if (!arg.empty() && arg[0] == '-') return UsageError{"unknown option: " + arg};
    }
    if (have_path) return UsageError{"expected exactly one PATH"};
    command_line.path = arg;
    have_path = true;
  }
  if (!have_path) return UsageError{"PATH is required"};
  return command_line;
}

int check_status(Status status) {
  switch (status) {
    case Status::confirmed: return 1;
    case Status::no_supported_failure: return 0;
    case Status::unknown: return 3;
  }
  return 3;
}

int run(const CommandLine& command_line) {
  Result<Evidence> evidence = collect_evidence(command_line.path, command_line.no_probe);
  if (!evidence.ok()) {
    print(2, "brimful: " + evidence.error() + "\n");
    return 2;
  }
  const Diagnosis diagnosis = diagnose(evidence.value());
  // Findings never feed back into the verdict or the exit status.
  std::optional<std::vector<Finding>> findings;
  if (command_line.explain) {
    findings = find_findings(evidence.value(), diagnosis, gather_explain_facts(evidence.value()));
  }
  const std::vector<Finding>* shown_findings = findings ? &*findings : nullptr;
  if (command_line.json) {
    Result<std::string> json = encode_json(evidence.value(), diagnosis, shown_findings);
    if (!json.ok()) {
      print(2, "brimful: cannot serialize report: " + json.error() + "\n");
      return 2;
    }
    print(1, json.value() + "\n");
  } else {
    print(1, render_text(evidence.value(), diagnosis, command_line.verbose, shown_findings) + "\n");
  }
  return command_line.check ? check_status(diagnosis.status) : 0;
}

}  // namespace
}  // namespace brimful

int main(int argc, char** argv) {
  using namespace brimful;
  // A closed pipe should surface as a write error, not kill the run.
  std::signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

  const ParseOutcome outcome = parse_command_line(args);
  if (std::holds_alternative<Done>(outcome)) return 0;
  if (const UsageError* usage = std::get_if<UsageError>(&outcome)) {
    print(2, "error: " + usage->message + "\n\n" + kHelp + "\n");
    return 2;
  }
  return run(std::get<CommandLine>(outcome));
}
