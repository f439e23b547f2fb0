# Cross-compiling the Windows x86-64 programs with MinGW-w64 (Debian:
# g++-mingw-w64-x86-64-posix; the posix flavour has std::thread).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The header-only libraries cdref uses are architecture-independent: take
# the host's package files for them.
set(nlohmann_json_DIR /usr/share/cmake/nlohmann_json CACHE PATH "")
set(CLI11_DIR /usr/share/cmake/CLI11 CACHE PATH "")
# Under Wine, tests run the .exe files through the emulator.
find_program(CDSEC_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(CDSEC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CDSEC_WINE})
endif()
