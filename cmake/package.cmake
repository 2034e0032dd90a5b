# The Debian package (`cpack -G DEB`, or scripts/package.sh, which configures
# a build under /usr for it). The version is the project's.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wendrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "wendrel maintainers <wendrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "node daemon with account swimlanes and check-tag replication")
set(CPACK_PACKAGE_DESCRIPTION
    "The wendrel node daemon with its two modules: kavalin maps accounts to\n\
database clusters and rewrites routing keys; ostrel replicates each\n\
cluster's check tags and completes metric tagsets with them. Also the\n\
libzorv, libdrask and libquib libraries, their headers, and\n\
drask-standin, a stand-in database cluster for local trials.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Computed from the binaries by dpkg-shlibdeps; our own libraries are in
# the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
# The maintainer scripts create the user with useradd.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
configure_file(packaging/debian/conffiles.in ${CMAKE_BINARY_DIR}/packaging/debian/conffiles
               @ONLY)
foreach(script postinst prerm postrm)
  configure_file(packaging/debian/${script}.in
                 ${CMAKE_BINARY_DIR}/packaging/debian/${script} @ONLY)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/debian/conffiles
    ${CMAKE_BINARY_DIR}/packaging/debian/postinst
    ${CMAKE_BINARY_DIR}/packaging/debian/prerm
    ${CMAKE_BINARY_DIR}/packaging/debian/postrm)
include(CPack)
