# Debian packages the build needs (scripts/install-deps.sh installs them).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(MHD REQUIRED IMPORTED_TARGET libmicrohttpd)
pkg_check_modules(GNUTLS REQUIRED IMPORTED_TARGET gnutls)
pkg_check_modules(XML2 REQUIRED IMPORTED_TARGET libxml-2.0)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(JSONC REQUIRED IMPORTED_TARGET json-c)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
pkg_check_modules(URCU REQUIRED IMPORTED_TARGET liburcu-memb)
pkg_check_modules(URCU_CDS REQUIRED IMPORTED_TARGET liburcu-cds)
if(ZORV_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(ZORV_BUILD_BENCH AND ZORV_SANITIZE STREQUAL "none")
  find_package(benchmark REQUIRED)
endif()
# sd_notify for the systemd unit's Type=notify; without libsystemd-dev the
# daemon builds all the same and simply tells no service manager anything.
pkg_check_modules(SYSTEMD IMPORTED_TARGET libsystemd)

# Prometheus and promtool for the monitoring tests: the Debian package
# unpacked by scripts/install-deps.sh into a cache folder (never installed,
# so no service runs). Looked up when the tests run, not here, so that a
# build configured before the first install-deps still finds them.
if(DEFINED ENV{WENDREL_CACHE_DIR})
  set(wendrel_cache_default "$ENV{WENDREL_CACHE_DIR}")
else()
  set(wendrel_cache_default "$ENV{HOME}/.cache/wendrel")
endif()
set(WENDREL_PROMETHEUS_BIN "${wendrel_cache_default}/prometheus/usr/bin" CACHE PATH
    "Folder holding prometheus and promtool (scripts/install-deps.sh unpacks them)")
