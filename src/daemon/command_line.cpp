#include "command_line.h"

#include <curl/curl.h>
#include <getopt.h>
#include <libxml/xmlversion.h>

namespace wendrel {

namespace {

/* Kept in step with the first lines of the manual page, which is written
 * from this text. */
const char kUsage[] =
    "usage: wendrel -c FILE [-t]\n"
    "       wendrel -h | -V\n"
    "\n"
    "Runs the node daemon in the foreground: loads the XML configuration,\n"
    "the metric director and the modules, starts the listeners, runs the\n"
    "post-initialisation hooks and serves until SIGINT or SIGTERM. SIGHUP\n"
    "reopens the log files; the configuration is not reloaded.\n"
    "\n"
    "  -c, --config FILE    the XML configuration to run with\n"
    "  -t, --check-config   load and check the configuration and the modules'\n"
    "                       options, then exit: no listener, no worker\n"
    "  -V, --version        the version, build type and library versions\n"
    "  -h, --help           this help\n"
    "\n"
    "Exit status: 0 stopped on SIGINT or SIGTERM, or the check passed;\n"
    "1 the configuration or start-up failed; 2 a module could not go on;\n"
    "64 bad command line.\n";

}  // namespace

void print_usage(FILE *out) { fputs(kUsage, out); }

void print_version(FILE *out) {
  fprintf(out, "wendrel %s (%s build%s)\n", WENDREL_VERSION, WENDREL_BUILD_TYPE,
          WENDREL_SANITIZER[0] ? ", sanitizer " WENDREL_SANITIZER : "");
  fprintf(out, "libzorv %s, libdrask %s, libquib %s\n", WENDREL_VERSION,
          WENDREL_VERSION, WENDREL_VERSION);
  fprintf(out, "%s, libxml2 %s, sd_notify %s\n", curl_version(),
          LIBXML_DOTTED_VERSION,
#ifdef WENDREL_HAVE_SYSTEMD
          "yes"
#else
          "no"
#endif
  );
}

CommandLine parse_command_line(int argc, char **argv) {
  static const option kLong[] = {
      {"config", required_argument, nullptr, 'c'},
      {"check-config", no_argument, nullptr, 't'},
      {"version", no_argument, nullptr, 'V'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  CommandLine cl;
  bool check = false;
  bool help = false;
  bool version = false;
  optind = 1;
  opterr = 0;  // reported below, once, with the usage
  int opt;
  while ((opt = getopt_long(argc, argv, ":c:tVh", kLong, nullptr)) != -1) {
    switch (opt) {
      case 'c': cl.conf_path = optarg; break;
      case 't': check = true; break;
      case 'V': version = true; break;
      case 'h': help = true; break;
      case ':':
        cl.error = std::string("option ") + argv[optind - 1] + " needs a value";
        return cl;
      default:
        cl.error = std::string("unknown option ") + argv[optind - 1];
        return cl;
    }
  }
  if (help) {
    cl.action = CommandLine::Action::help;
  } else if (version) {
    cl.action = CommandLine::Action::version;
  } else if (optind != argc) {
    cl.error = std::string("unexpected argument ") + argv[optind];
  } else if (cl.conf_path.empty()) {
    cl.error = "no configuration given (-c FILE)";
  } else {
    cl.action = check ? CommandLine::Action::check_config
                      : CommandLine::Action::run;
  }
  return cl;
}

}  // namespace wendrel
