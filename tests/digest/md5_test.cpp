// MD5 against the test suite of RFC 1321, and the context rules around it.
#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "digest/digest.h"

namespace {

std::string Hex(const unsigned char digest[16]) {
  HashHex hex;
  CvtHex(digest, hex);
  return hex;
}

std::string Md5OfPieces(const std::string& message, std::size_t pieceLength) {
  MD5Context context;
  MD5Init(&context);
  for (std::size_t at = 0; at < message.size(); at += pieceLength) {
    MD5Update(&context, message.data() + at, std::min(pieceLength, message.size() - at));
  }
  unsigned char digest[16];
  MD5Final(digest, &context);
  return Hex(digest);
}

struct Md5Case {
  const char* message;
  const char* digest;
};

// RFC 1321, appendix A.5.
constexpr Md5Case kRfc1321Suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5Test, Rfc1321SuiteInOneUpdate) {
  for (const Md5Case& c : kRfc1321Suite) {
    EXPECT_EQ(c.digest, Md5OfPieces(c.message, std::strlen(c.message) + 1)) << "MD5(\"" << c.message << "\")";
  }
}

// The block buffer must carry partial input across updates of every size,
// including pieces that end exactly on and just past a 64-byte block.
TEST(Md5Test, Rfc1321SuiteInPiecesOfEverySize) {
  for (const Md5Case& c : kRfc1321Suite) {
    for (std::size_t piece = 1; piece <= 65; ++piece) {
      EXPECT_EQ(c.digest, Md5OfPieces(c.message, piece)) << "MD5(\"" << c.message << "\") in pieces of " << piece;
    }
  }
}

// Messages whose padding lands just before, on and past the 56-byte mark of a
// block, and one long message of many blocks.
TEST(Md5Test, PaddingBoundariesAndLongInput) {
  struct Case {
    std::string message;
    const char* digest;
  } cases[] = {
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.digest, Md5OfPieces(c.message, 1000)) << c.message.size() << " times 'a'";
  }
}

TEST(Md5Test, FinalClearsTheWholeContext) {
  MD5Context context;
  MD5Init(&context);
  MD5Update(&context, "Circle Of Life", 14);
  unsigned char digest[16];
  MD5Final(digest, &context);
  MD5Context zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(0, std::memcmp(&zero, &context, sizeof context));
}

TEST(Md5Test, CvtHexWritesLowerCaseHighNibbleFirst) {
  const unsigned char digest[16] = {0x00, 0x01, 0x10, 0x9a, 0xab, 0xf0, 0x0f, 0xff,
                                    0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xef};
  char hex[kHashHexSize + 1];
  std::memset(hex, '#', sizeof hex);
  CvtHex(digest, hex);
  EXPECT_STREQ("0001109aabf00fff123456789abcdeef", hex);
  EXPECT_EQ('#', hex[kHashHexSize]) << "wrote past the 33 bytes";
}

}  // namespace
