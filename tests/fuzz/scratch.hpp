// A private scratch directory for a fuzz target's files (one per process,
// so that parallel fuzzing jobs do not share files), removed at exit, and
// the check that stops the fuzzer on a broken property.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace cdsec_fuzz {

inline void check(bool ok) {
  if (!ok) __builtin_trap();
}

inline const std::filesystem::path& scratch_dir() {
  static const std::filesystem::path dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cdsec_fuzz_XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    std::atexit([] { std::error_code ec; std::filesystem::remove_all(scratch_dir(), ec); });
    return std::filesystem::path(tmpl);
  }();
  return dir;
}

inline void write_file(const std::filesystem::path& p, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) std::abort();
}

}  // namespace cdsec_fuzz
