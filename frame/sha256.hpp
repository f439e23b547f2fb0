// SHA-256 digests, so that a run record names exactly which INPUT and which
// reference files produced its result.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace cdsec {

// Incremental digest: feed bytes with update(), read the digest once with
// finish() (which leaves the object unusable until reset()).
class Sha256 {
 public:
  Sha256() { reset(); }
  void reset();
  void update(const void* data, std::size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  std::array<std::uint8_t, 32> finish();

 private:
  void block(const std::uint8_t* p);
  std::array<std::uint32_t, 8> h_;
  std::array<std::uint8_t, 64> buf_;
  std::size_t used_ = 0;      // bytes waiting in buf_
  std::uint64_t length_ = 0;  // bytes fed so far
};

// The digest as 64 lower-case hexadecimal digits.
std::string sha256_hex(std::string_view bytes);
// The digest of a file's contents, read in blocks; nullopt when the file
// cannot be opened or read.
std::optional<std::string> sha256_file_hex(const std::filesystem::path& path);

}  // namespace cdsec
