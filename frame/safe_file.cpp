// The part of safe_file common to every system; the file operations are in
// safe_file_posix.cpp and safe_file_windows.cpp.
#include "frame/safe_file.hpp"

#include <cerrno>
#include <cstring>

namespace cdsec {

std::string write_problem(std::ofstream& stream, std::string_view name, bool closing) {
  errno = 0;
  if (stream.is_open()) {
    stream.flush();
    if (closing) stream.close();
  }
  if (!stream.fail()) return {};
  std::string why = std::string(name) + " could not be written completely";
  if (errno != 0) why += std::string(" (") + std::strerror(errno) + ")";
  return why + "; it is cut short";
}

}  // namespace cdsec
