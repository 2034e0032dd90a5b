/* Tells the service manager how start-up and stop go (sd_notify). Does
 * nothing when the daemon was built without libsystemd or runs outside a
 * service that asked for notifications. */
#ifndef WENDREL_NOTIFY_H
#define WENDREL_NOTIFY_H

namespace wendrel {

void notify_ready();
void notify_stopping();
void notify_status(const char *text);

}  // namespace wendrel

#endif
