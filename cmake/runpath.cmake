# Where installed binaries find the project's own libraries: relative to
# themselves ($ORIGIN), so an installed tree runs from any prefix and keeps
# no path into the build tree. The build tree keeps CMake's build RUNPATH.
set(WENDREL_MODULE_INSTALL_DIR lib/wendrel)

function(wendrel_install_runpath target from_dir)
  file(RELATIVE_PATH rel /${from_dir} /${CMAKE_INSTALL_LIBDIR})
  if(rel STREQUAL "")
    set(rel ".")
  endif()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${rel}")
endfunction()
