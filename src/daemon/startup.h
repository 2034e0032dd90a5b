/* The daemon's start-up steps, each reporting a failure as text. */
#ifndef WENDREL_STARTUP_H
#define WENDREL_STARTUP_H

#include <string>

namespace wendrel {

/* //modules/@directory when given, else, beside the folder that holds the
 * executable, lib/wendrel when it exists (an installed daemon) or lib (the
 * build tree: bin/wendrel beside lib/ with the modules). */
std::string module_directory();

/* Loads quib_director.so from dir with its symbols visible process-wide,
 * unless //metric_director/@enabled is "false". */
bool load_metric_director(const std::string &dir, std::string &why);

/* Whether the text attribute at xpath equals value. */
bool conf_equals(const char *xpath, const char *value);

}  // namespace wendrel

#endif
