// The command line: its options, its help and version texts, and the
// parse of an argument list into what the run should do.
#ifndef BRIMFUL_CLI_H
#define BRIMFUL_CLI_H

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "os.h"
#include "watchdog.h"

namespace brimful {

extern const char* const kHelp;
extern const char* const kVersion;

struct CommandLine {
  OsPath path;
  bool json = false;
  bool verbose = false;
  bool no_probe = false;
  bool check = false;
  bool explain = false;
  bool prometheus = false;
  bool all = false;
  std::optional<std::uint32_t> pid;
  std::optional<OsPath> output;
  // The bound on the whole run.
  unsigned timeout_seconds = kDefaultTimeoutSeconds;
};

// -h or --version decided the outcome: print this text and exit 0.
struct ShowText {
  const char* text;
};
struct UsageError {
  std::string message;
};
using ParseOutcome = std::variant<CommandLine, ShowText, UsageError>;

// Arguments are taken strictly left to right and the first one that decides
// the outcome ends the examination, so "-h --bogus" helps and "--bogus -h"
// does not.
ParseOutcome parse_command_line(const std::vector<std::string>& args);

}  // namespace brimful

#endif  // BRIMFUL_CLI_H
