#include "frame/package.hpp"

#include <string>

namespace cdsec {

std::string version_text() {
  std::string v(package_version());
  if (!source_commit().empty()) v += " (commit " + std::string(source_commit()) + ")";
  return v;
}

}  // namespace cdsec
