#include "commands.h"

#include "answers.h"

namespace wendrelctl {

int run_command(const Context &ctx, const std::vector<std::string> &args) {
  const std::string &name = args[0];
  if (name == "status") return cmd_status(ctx, args);
  if (name == "health") return cmd_health(ctx, args);
  if (name == "map") return cmd_map(ctx, args);
  if (name == "clusters") return cmd_clusters(ctx, args);
  if (name == "cluster") return cmd_cluster(ctx, args);
  if (name == "show") return cmd_show(ctx, args);
  if (name == "metrics") return cmd_metrics(ctx, args);
  return usage("unknown command '" + name + "'");
}

}  // namespace wendrelctl
