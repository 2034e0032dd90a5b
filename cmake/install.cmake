# Install rules: `cmake --install BUILD --prefix DIR` yields a tree that runs
# as it stands (bin/, the libraries with their sonames, the modules in
# lib/wendrel where the installed daemon looks first, headers, the example
# configuration, the unit, the manual pages and the docs). The Debian
# package (cmake/package.cmake) is this tree under /usr and /etc.

foreach(lib zorv drask quib)
  set_target_properties(${lib} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endforeach()

foreach(exe wendrel drask-standin)
  wendrel_install_runpath(${exe} ${CMAKE_INSTALL_BINDIR})
endforeach()
foreach(lib zorv drask quib)
  wendrel_install_runpath(${lib} ${CMAKE_INSTALL_LIBDIR})
endforeach()
foreach(mod kavalin ostrel quib_director)
  wendrel_install_runpath(${mod} ${WENDREL_MODULE_INSTALL_DIR})
endforeach()

install(TARGETS wendrel wendrelctl drask-standin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS zorv drask quib LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS kavalin ostrel quib_director
        LIBRARY DESTINATION ${WENDREL_MODULE_INSTALL_DIR})

# Module authors compile against the platform's interfaces and, to bind to
# kavalin, its chief header.
install(DIRECTORY src/platform/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(FILES src/modules/kavalin/kavalin.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/modules/kavalin)

# The example configuration, with its certificate paths made relative to
# its own folder (the demo's copy points into run/certs instead). The
# daemon's update endpoints rewrite this file.
file(READ ${CMAKE_SOURCE_DIR}/etc/wendrel.conf WENDREL_CONF)
string(REPLACE "../run/certs/" "certs/" WENDREL_CONF "${WENDREL_CONF}")
string(REPLACE "scripts/run-demo.sh\n     runs it." "installed as the\n     service's configuration."
       WENDREL_CONF "${WENDREL_CONF}")
string(REPLACE "scripts/make-certs.sh\n       makes in run/certs."
       "make-certs.sh\n       makes in certs/ beside this file."
       WENDREL_CONF "${WENDREL_CONF}")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/wendrel.conf "${WENDREL_CONF}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/etc/wendrel.conf)
# Under /usr (the package) it goes to /etc; under any other prefix into
# that prefix, so that `cmake --install --prefix DIR` puts it in DIR/etc.
set(WENDREL_CONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/wendrel)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  install(FILES ${CMAKE_BINARY_DIR}/packaging/wendrel.conf DESTINATION ${WENDREL_CONF_DIR})
else()
  install(FILES ${CMAKE_BINARY_DIR}/packaging/wendrel.conf
          DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/wendrel)
endif()
install(PROGRAMS scripts/make-certs.sh DESTINATION ${CMAKE_INSTALL_DATADIR}/wendrel)
# Prometheus rules and the Grafana dashboard, for the operator's
# monitoring to load from where the package put them.
install(FILES packaging/monitoring/wendrel-rules.yml
              packaging/monitoring/wendrel-dashboard.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/wendrel/monitoring)

configure_file(packaging/wendrel.service.in ${CMAKE_BINARY_DIR}/packaging/wendrel.service
               @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/wendrel.service
        DESTINATION lib/systemd/system)

# Manual pages, compressed as Debian ships them.
set(WENDREL_MAN_PAGES)
foreach(page wendrel.8 wendrelctl.1 drask-standin.1)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  set(out ${CMAKE_BINARY_DIR}/packaging/${page}.gz)
  configure_file(packaging/${page} ${CMAKE_BINARY_DIR}/packaging/${page} @ONLY)
  add_custom_command(OUTPUT ${out}
    COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/packaging/${page} > ${out}
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/${page} VERBATIM)
  list(APPEND WENDREL_MAN_PAGES ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${WENDREL_MAN_PAGES})

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")
