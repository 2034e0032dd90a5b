/* One HTTP(S) request to the daemon with libcurl. */
#ifndef WENDRELCTL_CLIENT_H
#define WENDRELCTL_CLIENT_H

#include <string>

#include "settings.h"

namespace wendrelctl {

struct Answer {
  long status = 0;    /* 0: no answer came (see error) */
  std::string body;
  std::string error;  /* libcurl's words when no answer came */
};

/* GET path, or POST body as application/xml when post is true. The body
 * read is bounded (kMaxBody); a longer answer counts as no answer. */
Answer request(const Settings &s, const std::string &path, bool post = false,
               const std::string &body = "");

constexpr size_t kMaxBody = 256u << 20;

}  // namespace wendrelctl

#endif
