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
