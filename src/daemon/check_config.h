/* What --check-config looks at beyond loading the file and the modules:
 * the listeners, without opening any socket. */
#ifndef WENDREL_CHECK_CONFIG_H
#define WENDREL_CHECK_CONFIG_H

#include <string>

namespace wendrel {

/* Every //listeners/listener has a port 0-65535, and the certificate, key
 * and client CA files it names can be read (relative paths from the
 * configuration file's folder, as the listeners take them). False with
 * why set at the first fault. */
bool check_listeners(std::string &why);

}  // namespace wendrel

#endif
