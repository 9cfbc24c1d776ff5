#include "cli.h"

#include <string_view>

#include "process_view.h"
#include "text.h"

namespace brimful {

const char* const kHelp =
    "brimful \xE2\x80\x94 evidence-based Linux ENOSPC diagnosis\n"
    "\n"
    "USAGE:\n"
    "    brimful PATH [--json | --prometheus] [--output FILE] [--verbose] [--no-probe]\n"
    "                 [--check] [--explain] [--pid PID] [--timeout SECONDS]\n"
    "    brimful --all [--json | --prometheus] [--output FILE] [--verbose] [--no-probe]\n"
    "                 [--check] [--explain] [--timeout SECONDS]\n"
    "\n"
    "OPTIONS:\n"
    "    --json       Emit machine-readable JSON\n"
    "    --verbose    Show all process evidence instead of the top entries\n"
    "    --no-probe   Do not create a temporary file or add an inotify watch\n"
    "    --check      Exit 1 for confirmed failure or 3 for an unknown result\n"
    "    --explain    Also report findings that the verdict alone cannot confirm\n"
    "    --prometheus Emit Prometheus text-format metrics\n"
    "    --pid PID    Examine PATH as process PID sees it\n"
    "    --all        Examine every filesystem instead of PATH\n"
    "    --output FILE\n"
    "                 Replace FILE with the report, whole (with --json or --prometheus)\n"
    "    --timeout SECONDS\n"
    "                 End the run after SECONDS (default 15) with status 4\n"
    "    -h, --help   Show this help\n"
    "    -V, --version\n"
    "                 Show the version";

const char* const kVersion =
    "brimful " BRIMFUL_VERSION "\n"
    "Copyright The brimful authors; MIT License, see /usr/share/doc/brimful/copyright";

namespace {

// The options that only switch something on.
struct Flag {
  std::string_view name;
  bool CommandLine::*field;
};

constexpr Flag kFlags[] = {
    {"--json", &CommandLine::json},         {"--verbose", &CommandLine::verbose},
    {"--no-probe", &CommandLine::no_probe}, {"--check", &CommandLine::check},
    {"--explain", &CommandLine::explain},   {"--prometheus", &CommandLine::prometheus},
    {"--all", &CommandLine::all},
};

// The options that take a value; an error message, or none when taken.
std::optional<std::string> take_pid(CommandLine& command_line, const std::string& value) {
  const std::optional<std::uint32_t> pid = parse_process_id(value);
  if (!pid) return "invalid process id: " + display(value);
  if (command_line.pid && *command_line.pid != *pid) return std::string("expected exactly one --pid");
  command_line.pid = pid;
  return std::nullopt;
}

std::optional<std::string> take_output(CommandLine& command_line, const std::string& value) {
  if (command_line.output && *command_line.output != value) return std::string("expected exactly one --output");
  command_line.output = value;
  return std::nullopt;
}

// Whole seconds, at least one and at most a day.
std::optional<std::string> take_timeout(CommandLine& command_line, const std::string& value) {
  constexpr std::uint64_t kLongest = 24 * 60 * 60;
  const std::optional<std::uint64_t> seconds =
      !value.empty() && value[0] >= '0' && value[0] <= '9' ? parse_unsigned(value, kLongest) : std::nullopt;
  if (!seconds || *seconds == 0) return "invalid timeout: " + display(value) + " (whole seconds, 1 to 86400)";
  command_line.timeout_seconds = static_cast<unsigned>(*seconds);
  return std::nullopt;
}

struct ValueOption {
  std::string_view name;
  const char* missing;
  std::optional<std::string> (*take)(CommandLine&, const std::string&);
};

constexpr ValueOption kValueOptions[] = {
    {"--pid", "--pid needs a process id", take_pid},
    {"--output", "--output needs a file", take_output},
    {"--timeout", "--timeout needs a number of seconds", take_timeout},
};

// What the options say together; only the whole command line shows a clash.
std::optional<std::string> combination_error(const CommandLine& command_line, bool have_path) {
  if (command_line.all && have_path) return std::string("--all examines every filesystem and takes no PATH");
  if (command_line.all && command_line.pid) return std::string("--all and --pid cannot be used together");
  if (!have_path && !command_line.all) return std::string("PATH is required");
  if (command_line.json && command_line.prometheus) {
    return std::string("--json and --prometheus cannot be used together");
  }
  // A file another program reads: the text report is for people.
  if (command_line.output && !command_line.json && !command_line.prometheus) {
    return std::string("--output needs --json or --prometheus");
  }
  return std::nullopt;
}

}  // namespace

ParseOutcome parse_command_line(const std::vector<std::string>& args) {
  CommandLine command_line;
  bool have_path = false;
  for (std::size_t index = 0; index < args.size(); ++index) {
    const std::string& arg = args[index];
    // A name that is not UTF-8 cannot be an option, whatever it starts with.
    if (is_valid_utf8(arg)) {
      if (arg == "-h" || arg == "--help") return ShowText{kHelp};
      if (arg == "-V" || arg == "--version") return ShowText{kVersion};
      bool taken = false;
      for (const Flag& flag : kFlags) {
        if (arg != flag.name) continue;
        command_line.*flag.field = true;
        taken = true;
      }
      for (const ValueOption& option : kValueOptions) {
        if (arg != option.name) continue;
        if (index + 1 == args.size()) return UsageError{option.missing};
        if (std::optional<std::string> error = option.take(command_line, args[++index])) return UsageError{*error};
        taken = true;
      }
      if (taken) continue;
      if (!arg.empty() && arg[0] == '-') return UsageError{"unknown option: " + display(arg)};
    }
    if (have_path) return UsageError{"expected exactly one PATH"};
    command_line.path = arg;
    have_path = true;
  }
  if (std::optional<std::string> error = combination_error(command_line, have_path)) return UsageError{*error};
  return command_line;
}

}  // namespace brimful
