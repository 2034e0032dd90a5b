#include "notify.h"

#ifdef WENDREL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace wendrel {

#ifdef WENDREL_HAVE_SYSTEMD
/* unset_environment stays 0: the modules' threads never exec, and the
 * variable tells a later sd_notify (STOPPING=1) where to write. */
void notify_ready() { sd_notify(0, "READY=1"); }
void notify_stopping() { sd_notify(0, "STOPPING=1"); }
void notify_status(const char *text) { sd_notifyf(0, "STATUS=%s", text); }
#else
void notify_ready() {}
void notify_stopping() {}
void notify_status(const char *) {}
#endif

}  // namespace wendrel
