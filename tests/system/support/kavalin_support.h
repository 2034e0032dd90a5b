// Whole-system test helpers for kavalin: a daemon running kavalin (and,
// when asked, ostrel) with a given drask section, XML posts to the update
// endpoints, and the live account map read back through the daemon's
// routing diagnostic route.
#ifndef WENDREL_TEST_KAVALIN_SUPPORT_H
#define WENDREL_TEST_KAVALIN_SUPPORT_H

#include <stdint.h>

#include <memory>
#include <string>

#include "support/system_support.h"

namespace kavalin_test {

// A check message whose marker names account (check 1) and whose check
// field ends in the UUID 0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d.
std::string check_payload(int64_t account);

// A daemon with kavalin in its own temporary folder (certificates made
// once per process and shared).
class KavalinDaemon {
 public:
  // extra_xml goes into the configuration root (the drask section and
  // the like); with_ostrel also loads ostrel after kavalin.
  explicit KavalinDaemon(const std::string &extra_xml,
                         bool with_ostrel = false);
  bool start();
  // Starts a new daemon on the configuration file as it is now.
  bool restart();
  int stop() { return daemon_->stop(); }
  wendrel_test::Daemon &daemon() { return *daemon_; }
  const std::string &conf_path() const { return conf_; }
  std::string conf_text() const { return wendrel_test::read_file(conf_); }
  std::string log() const { return daemon_->log(); }
  const std::string &certs() const;

  // POST body to path over HTTPS, presenting identity ("" for none).
  wendrel_test::HttpResult post(const std::string &path,
                                const std::string &body,
                                const std::string &identity = "client");
  // The swimlane the running daemon routes account's check messages to,
  // read from the rewritten routing key; INT32_MIN when the route failed.
  int64_t live_swimlane(int64_t account);
  // The full routing key for a payload.
  std::string routed_key(const std::string &payload);

 private:
  std::unique_ptr<wendrel_test::TempDir> dir_;
  std::string conf_;
  std::unique_ptr<wendrel_test::Daemon> daemon_;
  int generation_ = 0;
};

// The text of an update endpoint's error document ("<error>text</error>"),
// or "(not an error document: ...)".
std::string error_text(const std::string &body);

// Attributes of every element matching xpath in an XML text, serialised as
// "name=value,name=value" per element, in document order.
std::string elements(const std::string &xml, const std::string &xpath);

}  // namespace kavalin_test

#endif
