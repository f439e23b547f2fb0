# Settings of the Windows build (MinGW-w64), included by the top-level file.

# The programs are linked statically (C++ and C runtimes, winpthread), so the
# .exe files run from any folder without MinGW's DLLs beside them.
add_link_options(-static)

# cdref's header-only libraries come from the build host's include directory,
# which also holds the host's C library headers: a cross build must not search
# it.  A directory in the build tree holds links to the two libraries alone,
# and the imported targets are made here with it, before find_package would
# make them with the host's directory.
if(CMAKE_CROSSCOMPILING)
  set(CDSEC_HOST_INCLUDEDIR /usr/include CACHE PATH "Where the host's nlohmann/ and CLI/ headers are")
  set(cdsec_header_only ${CMAKE_BINARY_DIR}/header-only)
  file(MAKE_DIRECTORY ${cdsec_header_only})
  foreach(lib nlohmann CLI)
    if(NOT IS_DIRECTORY ${CDSEC_HOST_INCLUDEDIR}/${lib})
      message(FATAL_ERROR "${CDSEC_HOST_INCLUDEDIR}/${lib} not found (nlohmann-json3-dev, libcli11-dev)")
    endif()
    file(CREATE_LINK ${CDSEC_HOST_INCLUDEDIR}/${lib} ${cdsec_header_only}/${lib} SYMBOLIC)
  endforeach()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json CLI11::CLI11 PROPERTIES
                        INTERFACE_INCLUDE_DIRECTORIES ${cdsec_header_only})
endif()

# GCC 12 gives false -Wrestrict warnings at -O3 (cdref/crossval.cpp, cdref/instrument.cpp).
add_compile_options(-Wno-restrict)

# Every program of the build (the four programs, the tools and the tests)
# carries an application manifest that makes UTF-8 its ANSI code page
# (honoured from Windows 10 version 1903): the narrow C runtime then reads
# and gives file names, arguments and environment variables in UTF-8, as the
# programs hold them.  Paths are converted with os::path_from_utf8 and
# os::path_to_utf8 (frame/platform.hpp), which do not depend on it.
enable_language(RC)
set(cdsec_manifest_rc ${CMAKE_BINARY_DIR}/utf8-manifest.rc)
file(CONFIGURE OUTPUT ${cdsec_manifest_rc}
     CONTENT "#include <winuser.h>\n1 RT_MANIFEST \"${CMAKE_CURRENT_LIST_DIR}/utf8.manifest\"\n")
add_library(cdsec_utf8_manifest OBJECT ${cdsec_manifest_rc})
set_property(TARGET cdsec_utf8_manifest PROPERTY COMPILE_OPTIONS "")  # the C++ warning flags are not windres's
set_source_files_properties(${cdsec_manifest_rc} PROPERTIES OBJECT_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/utf8.manifest)
# Executables only: a static library holding it would hand it on as well.
link_libraries($<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:cdsec_utf8_manifest>)
