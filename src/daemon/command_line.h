/* The daemon's command line: options, help and version texts. */
#ifndef WENDREL_COMMAND_LINE_H
#define WENDREL_COMMAND_LINE_H

#include <cstdio>
#include <string>

namespace wendrel {

/* Exit statuses, as the manual page lists them. A module that cannot go on
 * ends the process with status 2 itself. */
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // configuration or start-up failure
constexpr int kExitUsage = 64;   // bad command line

struct CommandLine {
  enum class Action { run, check_config, help, version, usage_error };
  Action action = Action::usage_error;
  std::string conf_path;
  std::string error;  // for usage_error
};

CommandLine parse_command_line(int argc, char **argv);
void print_usage(FILE *out);
void print_version(FILE *out);

}  // namespace wendrel

#endif
