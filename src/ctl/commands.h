/* wendrelctl's commands. Each reads its own arguments (those the global
 * options left, args[0] being the command), talks to the daemon and
 * returns the exit status; usage errors it prints itself (kUsage). */
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

using Args = std::vector<std::string>;

int run_command(const Context &ctx, const Args &args);

/* read_commands.cpp */
int cmd_status(const Context &ctx, const Args &args);
int cmd_health(const Context &ctx, const Args &args);
int cmd_map_show(const Context &ctx, bool differs);
int cmd_clusters(const Context &ctx, const Args &args);
int cmd_show(const Context &ctx, const Args &args);
int cmd_metrics(const Context &ctx, const Args &args);

/* update_commands.cpp: map (its reading forms included) and cluster */
int cmd_map(const Context &ctx, const Args &args);
int cmd_cluster(const Context &ctx, const Args &args);

}  // namespace wendrelctl

#endif
