// Whole-file replacement, appending and the report lock on POSIX systems.
#include "frame/safe_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frame/platform.hpp"

namespace cdsec {

namespace fs = std::filesystem;

namespace {

std::string reason(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string write_all(int fd, std::string_view text, const std::string& name) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t w = ::write(fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return reason("cannot write " + name);
    }
    p += w;
    left -= static_cast<std::size_t>(w);
  }
  return {};
}

}  // namespace

std::string replace_file(const fs::path& path, std::string_view text, LinkHandling links) {
  std::error_code ec;
  fs::path target = path;
  if (links == LinkHandling::kFollowLink && fs::is_symlink(path, ec)) {  // replace the file the link points to, keep the link
    fs::path real = fs::weakly_canonical(path, ec);
    if (!ec) target = real;
  }
  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::string name = os::path_to_utf8(path.filename());
  std::string templ = (dir / target.filename()).native() + ".incomplete-XXXXXX";
  std::vector<char> tmp(templ.begin(), templ.end());
  tmp.push_back('\0');

  int fd = ::mkstemp(tmp.data());
  if (fd < 0) return reason("cannot create a temporary file in " + os::path_to_utf8(dir));

  // The new file keeps the permissions of the old one, or gets those of any
  // newly created file.
  struct stat st;
  mode_t mode;
  const int got = links == LinkHandling::kFollowLink ? ::stat(target.c_str(), &st) : ::lstat(target.c_str(), &st);
  if (got == 0 && S_ISREG(st.st_mode)) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  std::string err = write_all(fd, text, name);
  if (err.empty() && ::fchmod(fd, mode) != 0) err = reason("cannot set the permissions of " + name);
  if (err.empty() && ::fsync(fd) != 0) err = reason("cannot write " + name);
  if (::close(fd) != 0 && err.empty()) err = reason("cannot write " + name);
  if (err.empty() && ::rename(tmp.data(), target.c_str()) != 0) err = reason("cannot replace " + name);
  if (!err.empty()) ::unlink(tmp.data());
  return err;
}

std::string append_file(const fs::path& path, std::string_view text) {
  std::string name = os::path_to_utf8(path.filename());
  int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return reason("cannot open " + name + " for appending");
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    std::string err = reason("cannot read the size of " + name);
    ::close(fd);
    return err;
  }
  const off_t old_size = st.st_size;
  std::string all;
  if (old_size > 0) {  // the new Job starts on a line of its own
    char last = '\n';
    if (::pread(fd, &last, 1, old_size - 1) == 1 && last != '\n') all += '\n';
  }
  all += text;
  std::string err = write_all(fd, all, name);
  if (err.empty() && ::fsync(fd) != 0) err = reason("cannot write " + name);
  if (!err.empty() && ::ftruncate(fd, old_size) != 0) err += "; it may now end with part of the text appended";
  if (::close(fd) != 0 && err.empty()) err = reason("cannot write " + name);
  return err;
}

ReportLock::~ReportLock() {
  if (fd_ >= 0) ::close(static_cast<int>(fd_));
}

std::string ReportLock::acquire(const fs::path& path, bool& busy) {
  busy = false;
  const std::string name = os::path_to_utf8(path.filename());
  if (fd_ < 0) fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) return reason("cannot open " + name + " for writing");
  if (::flock(static_cast<int>(fd_), LOCK_EX | LOCK_NB) == 0) return {};
  if (errno == EWOULDBLOCK) {
    busy = true;
    return name + " is being written by another run in this directory";
  }
  return reason("cannot lock " + name);
}

}  // namespace cdsec
