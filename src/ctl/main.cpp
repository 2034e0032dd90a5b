/* wendrelctl: the operator's client of a running wendrel daemon. Global
 * options may stand anywhere on the line; what is left is the command and
 * its arguments. */
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "exit_codes.h"
#include "settings.h"

#ifndef WENDRELCTL_DEFAULT_CONFIG
#define WENDRELCTL_DEFAULT_CONFIG "/etc/wendrel/wendrelctl.conf"
#endif

namespace {

const char kUsageText[] =
    "usage: wendrelctl [OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  status                       one row per replicated cluster\n"
    "  health                       /health; exit 1 when degraded\n"
    "  map [--differs]              the live account map (--differs: only\n"
    "                               accounts whose file entry differs)\n"
    "  map set ACCOUNT CLUSTER [--filter TEXT]\n"
    "                               map an account (live and in the file)\n"
    "  map unset ACCOUNT...         remove accounts' entries from the file\n"
    "                               only; the live mapping stays\n"
    "  map load FILE|-              several in one update: lines\n"
    "                               'ACCOUNT CLUSTER [FILTER]' or 'ACCOUNT -'\n"
    "  clusters                     clusters, bootstrap hosts, nodes, overrides\n"
    "  cluster set ID HOST...       replace a cluster's bootstrap hosts\n"
    "  show CHECK_UUID              a check's replicated tags\n"
    "  metrics [PREFIX]             /metrics (families starting with PREFIX)\n"
    "\n"
    "Options (else WENDRELCTL_URL, _CERT, _KEY, _CACERT, _TIMEOUT, else the\n"
    "client file):\n"
    "  -u, --url URL        the daemon (default https://127.0.0.1:8443)\n"
    "      --cert FILE      client certificate, PEM\n"
    "      --key FILE       its key, PEM\n"
    "      --cacert FILE    CA of the daemon's certificate\n"
    "  -c, --config FILE    client file (WENDRELCTL_CONFIG; default "
    WENDRELCTL_DEFAULT_CONFIG ")\n"
    "      --timeout SECS   per request (default 10)\n"
    "      --json           the daemon's JSON instead of tables\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n"
    "\n"
    "Exit status: 0 done; 1 refused by the daemon (its text printed) or\n"
    "unhealthy; 2 usage; 3 the daemon cannot be reached.\n";

bool looks_numeric(const std::string &a) {
  return a.size() > 1 && a[0] == '-' && a.find_first_not_of("0123456789", 1) == std::string::npos;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace wendrelctl;
  Context ctx;
  bool config_given = false;
  std::vector<std::string> args;
  auto bad = [](const std::string &why) {
    fprintf(stderr, "wendrelctl: %s (wendrelctl --help)\n", why.c_str());
    return kUsage;
  };
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](std::string &into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    if (a == "--") {
      for (i++; i < argc; i++) args.push_back(argv[i]);
      break;
    }
    if (a == "-h" || a == "--help") {
      fputs(kUsageText, stdout);
      return kOk;
    }
    if (a == "-V" || a == "--version") {
      printf("wendrelctl %s\n", WENDREL_VERSION);
      return kOk;
    }
    if (a == "--json") {
      ctx.json = true;
    } else if (a == "-u" || a == "--url") {
      if (!value(ctx.settings.url)) return bad(a + " needs a value");
    } else if (a == "--cert") {
      if (!value(ctx.settings.cert)) return bad(a + " needs a value");
    } else if (a == "--key") {
      if (!value(ctx.settings.key)) return bad(a + " needs a value");
    } else if (a == "--cacert") {
      if (!value(ctx.settings.cacert)) return bad(a + " needs a value");
    } else if (a == "-c" || a == "--config") {
      if (!value(ctx.settings.config)) return bad(a + " needs a value");
      config_given = true;
    } else if (a == "--timeout") {
      std::string t;
      if (!value(t) || !parse_timeout(t, ctx.settings.timeout_s))
        return bad("--timeout needs 1 to 3600 seconds");
    } else if (a == "--differs" || a == "--filter" || a == "-" || a[0] != '-' ||
               looks_numeric(a)) {
      // the command's own (--filter takes the next word with it; "-" is
      // standard input, "-1" a number)
      args.push_back(a);
      if (a == "--filter" && i + 1 < argc) args.push_back(argv[++i]);
    } else {
      return bad("unknown option '" + a + "'");
    }
  }
  if (args.empty()) return bad("no command");
  std::string why = complete_settings(ctx.settings, config_given);
  if (!why.empty()) return bad(why);
  return run_command(ctx, args);
}
