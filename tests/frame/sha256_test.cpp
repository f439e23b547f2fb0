// SHA-256 against the published test vectors, at the padding boundaries,
// fed in pieces, and over a file read in blocks.
#include "frame/sha256.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/scratch_dir.hpp"

namespace fs = std::filesystem;
using cdsec::Sha256;
using cdsec::sha256_file_hex;
using cdsec::sha256_hex;

namespace {

const std::string kMillionA(1000000, 'a');
constexpr const char* kMillionADigest = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

std::string hex_of(Sha256& s) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (auto b : s.finish()) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

TEST(Sha256, StandardVectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
                       "mnopqrstnopqrstu"),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(sha256_hex(kMillionA), kMillionADigest);
}

// 55 bytes leave room for the length in the last block, 56 do not; 64 fill
// a block exactly.
TEST(Sha256, PaddingBoundaries) {
  EXPECT_EQ(sha256_hex(std::string(55, 'a')), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(sha256_hex(std::string(56, 'a')), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  EXPECT_EQ(sha256_hex(std::string(63, 'a')), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34");
  EXPECT_EQ(sha256_hex(std::string(64, 'a')), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
  EXPECT_EQ(sha256_hex(std::string(65, 'a')), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0");
  EXPECT_EQ(sha256_hex(std::string(119, 'a')), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb");
  EXPECT_EQ(sha256_hex(std::string(120, 'a')), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c");
}

// The digest does not depend on how the bytes are split between calls.
TEST(Sha256, PiecesGiveTheSameDigest) {
  for (std::size_t piece : {1u, 3u, 55u, 63u, 64u, 65u, 1000u, 4099u}) {
    Sha256 s;
    for (std::size_t i = 0; i < kMillionA.size(); i += piece)
      s.update(std::string_view(kMillionA).substr(i, piece));
    EXPECT_EQ(hex_of(s), kMillionADigest) << "pieces of " << piece;
  }
  Sha256 s;
  s.update("ab");
  s.finish();
  s.reset();
  s.update("abc");
  EXPECT_EQ(hex_of(s), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, File) {
  const cdsec_test::ScratchDir dir("sha256");
  {
    std::ofstream(dir / "million", std::ios::binary) << kMillionA;
    std::ofstream(dir / "empty", std::ios::binary);
    std::ofstream(dir / "binary", std::ios::binary) << std::string("a\0b\r\n\xff", 6);
  }
  EXPECT_EQ(sha256_file_hex(dir / "million").value_or("none"), kMillionADigest);
  EXPECT_EQ(sha256_file_hex(dir / "empty").value_or("none"), sha256_hex(""));
  EXPECT_EQ(sha256_file_hex(dir / "binary").value_or("none"), sha256_hex(std::string("a\0b\r\n\xff", 6)));
  EXPECT_FALSE(sha256_file_hex(dir / "missing").has_value());
}

}  // namespace
