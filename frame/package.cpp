#include "frame/package.hpp"

#include <system_error>

namespace cdsec {

std::string version_text() {
  std::string v(package_version());
  if (!source_commit().empty()) v += " (commit " + std::string(source_commit()) + ")";
  return v;
}

std::filesystem::path program_file() {
  std::error_code ec;
#if defined(__linux__)
  std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) return p;
#endif
  // Other systems ask their own interface here (GetModuleFileNameW on
  // Windows, _NSGetExecutablePath on macOS); until then the data are found
  // through CDSEC_REFDIR and the configured directory only.
  return {};
}

}  // namespace cdsec
