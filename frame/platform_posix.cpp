// The operating-system part of the shared code on POSIX systems.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "frame/platform.hpp"

namespace cdsec::os {

bool file_id(const std::filesystem::path& path, FileId& id) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  id.dev = static_cast<long long>(st.st_dev);
  id.ino = static_cast<long long>(st.st_ino);
  id.size = static_cast<long long>(st.st_size);
  id.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return true;
}

long long now_ns() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

std::tm local_time(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

std::string write_refusal(const std::filesystem::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return std::string("cannot be looked at: ") + std::strerror(errno);
  }
  if (S_ISDIR(st.st_mode)) return "is a directory";
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  if ((st.st_mode & 0222) == 0) return "is write-protected";
  if (::access(path.c_str(), W_OK) != 0)
    return errno == EACCES ? std::string("is write-protected") : std::string("cannot be written: ") + std::strerror(errno);
  return {};
}

void binary_console_output() {}

std::vector<std::string> arguments(int argc, char** argv) { return {argv + std::min(argc, 1), argv + argc}; }

std::string last_error() { return std::strerror(errno); }

std::filesystem::path executable_path() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : self;
}

}  // namespace cdsec::os
