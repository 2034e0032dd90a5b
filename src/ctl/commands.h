/* wendrelctl's commands. Each reads its own arguments (those the global
 * options left), talks to the daemon and returns the exit status. */
#ifndef WENDRELCTL_COMMANDS_H
#define WENDRELCTL_COMMANDS_H

#include <string>
#include <vector>

#include "settings.h"

namespace wendrelctl {

struct Context {
  Settings settings;
  bool json = false; /* print the daemon's JSON instead of tables */
};

/* args[0] is the command. Prints usage errors itself (exit 2). */
int run_command(const Context &ctx, const std::vector<std::string> &args);

}  // namespace wendrelctl

#endif
