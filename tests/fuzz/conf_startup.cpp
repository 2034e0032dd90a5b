/* The configuration loader and kavalin's start-up reads on any XML.
 * Oracle: a configuration that loads is written out, and what was written
 * loads again and writes out the same bytes (an operator's edit through
 * the update endpoints ends in such a write, and the daemon must start
 * from it next time). */
#include <stddef.h>
#include <stdint.h>

#include <fstream>
#include <sstream>

#include "fuzz_support.h"
#include "kavalin_support.h"
#include "zorv/memory.h"

namespace {

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_logs();
  kav_init(&kavalin);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The loader takes a C string: the document ends at a NUL.
  std::string xml(reinterpret_cast<const char *>(data), size);
  xml = xml.c_str();
  const std::string first = fuzz::scratch_dir() + "/first.conf";
  const std::string second = fuzz::scratch_dir() + "/second.conf";

  char *err = nullptr;
  if (zorv_conf_load_string(xml.c_str(), first.c_str(), &err) != 0) {
    free(err);
    return 0;
  }
  FUZZ_CHECK(zorv_conf_write_file(nullptr) == 0, "write failed");
  std::string written = slurp(first);
  err = nullptr;
  int rc = zorv_conf_load(first.c_str(), &err);
  FUZZ_CHECK(rc == 0, "written configuration does not load: %s\n%s",
             err ? err : "", written.c_str());
  FUZZ_CHECK(zorv_conf_write_file(second.c_str()) == 0, "second write failed");
  FUZZ_CHECK(slurp(second) == written, "second write differs from the first");

  fuzz::empty_kavalin_tables();
  fuzz::kavalin_startup_reads();
  fuzz::empty_kavalin_tables();
  // Deferred frees run now, so an input's allocations and frees balance
  // and the leak check has only real leaks to look at.
  zorv_memory_drain();
  return 0;
}
