// The digest computations and the Authorization line. Expected responses were
// worked out apart from this code, from the formulas of RFC 2617 with the
// nine-digit nonce count this system sends.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/text.h"
#include "digest/digest.h"

namespace {

// RFC 2617, section 3.5.
constexpr char kUser[] = "Mufasa";
constexpr char kRealm[] = "testrealm@host.com";
constexpr char kPassword[] = "Circle Of Life";
constexpr char kNonce[] = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
constexpr char kCnonce[] = "0a4f113b";
constexpr char kUri[] = "/dir/index.html";
constexpr char kOpaque[] = "5ccc069c403ebaf9f0171e9517f40e41";

TEST(DigestCalcTest, Rfc2617WorkedExample) {
  HashHex ha1;
  DigestCalcHA1("MD5", kUser, kRealm, kPassword, kNonce, kCnonce, ha1);
  EXPECT_STREQ("939e7578ed9e3c518a452acee763bce9", ha1);
  HashHex response;
  DigestCalcResponse(ha1, kNonce, "00000001", kCnonce, "auth", "GET", kUri, "", response);
  EXPECT_STREQ("6629fae49393a05397450978507c4ef1", response);

  ComputeDigestResponse(kNonce, kCnonce, kUser, kRealm, kPassword, "MD5", "00000001", "GET", "auth", kUri, "",
                        response);
  EXPECT_STREQ("6629fae49393a05397450978507c4ef1", response);
}

// md5-sess hashes the raw digest of user:realm:password, not its hex text.
TEST(DigestCalcTest, Md5SessUsesTheRawFirstDigest) {
  HashHex plain, session;
  DigestCalcHA1("", kUser, kRealm, kPassword, kNonce, kCnonce, plain);
  EXPECT_STREQ("939e7578ed9e3c518a452acee763bce9", plain);
  DigestCalcHA1("MD5-sess", kUser, kRealm, kPassword, kNonce, kCnonce, session);
  EXPECT_STREQ("71f45625a6e5fcdd072ce44e8e101a01", session);
}

struct HeaderCase {
  const char* name;
  const char* username;
  const char* algorithm;
  const char* qop;
  std::uint32_t nonceCount;
  const char* opaque;
  const char* line;
};

constexpr HeaderCase kHeaderCases[] = {
    {"NoQop", kUser, "MD5", "", 1, kOpaque,
     "Authorization: Digest username=\"Mufasa\",realm=\"testrealm@host.com\","
     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\",algorithm=\"MD5\","
     "response=\"670fd8c2df070c60b045671b8b24ff02\",opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"\r\n"},
    {"AuthCount1", kUser, "MD5", "auth", 1, kOpaque,
     "Authorization: Digest username=\"Mufasa\",realm=\"testrealm@host.com\","
     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\",algorithm=\"MD5\","
     "response=\"567590dc99dcfcef45a1522daa7f7c97\",opaque=\"5ccc069c403ebaf9f0171e9517f40e41\","
     "qop=auth,nc=000000001,cnonce=\"0a4f113b\"\r\n"},
    {"AuthCount26", kUser, "MD5", "auth", 26, kOpaque,
     "Authorization: Digest username=\"Mufasa\",realm=\"testrealm@host.com\","
     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\",algorithm=\"MD5\","
     "response=\"a21cbb1b7f7b5acb87bb301fbc7bc24e\",opaque=\"5ccc069c403ebaf9f0171e9517f40e41\","
     "qop=auth,nc=00000001a,cnonce=\"0a4f113b\"\r\n"},
    {"AuthIntMixedCase", kUser, "MD5", "Auth-Int", 1, kOpaque,
     "Authorization: Digest username=\"Mufasa\",realm=\"testrealm@host.com\","
     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\",algorithm=\"MD5\","
     "response=\"1a64802b2a97b1584685543662900210\",opaque=\"5ccc069c403ebaf9f0171e9517f40e41\","
     "qop=Auth-Int,nc=000000001,cnonce=\"0a4f113b\"\r\n"},
    {"QopListSentWholeWithPlainA2", kUser, "MD5", "auth,auth-int", 1, kOpaque,
     "Authorization: Digest username=\"Mufasa\",realm=\"testrealm@host.com\","
     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\",algorithm=\"MD5\","
     "response=\"8f6853878b0328a9bd12bf4c0e80d9b5\",opaque=\"5ccc069c403ebaf9f0171e9517f40e41\","
     "qop=auth,auth-int,nc=000000001,cnonce=\"0a4f113b\"\r\n"},
    {"Md5SessMixedCase", kUser, "Md5-SESS", "auth", 1, kOpaque,
     "Authorization: Digest username=\"Mufasa\",realm=\"testrealm@host.com\","
     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\",algorithm=\"Md5-SESS\","
     "response=\"6d53cb7822020a2c0633972d05890153\",opaque=\"5ccc069c403ebaf9f0171e9517f40e41\","
     "qop=auth,nc=000000001,cnonce=\"0a4f113b\"\r\n"},
    {"EmptyAlgorithmStillQuoted", kUser, "", "auth", 1, kOpaque,
     "Authorization: Digest username=\"Mufasa\",realm=\"testrealm@host.com\","
     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\",algorithm=\"\","
     "response=\"567590dc99dcfcef45a1522daa7f7c97\",opaque=\"5ccc069c403ebaf9f0171e9517f40e41\","
     "qop=auth,nc=000000001,cnonce=\"0a4f113b\"\r\n"},
    {"NoOpaque", kUser, "MD5", "auth", 1, "",
     "Authorization: Digest username=\"Mufasa\",realm=\"testrealm@host.com\","
     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\",algorithm=\"MD5\","
     "response=\"567590dc99dcfcef45a1522daa7f7c97\",qop=auth,nc=000000001,cnonce=\"0a4f113b\"\r\n"},
    {"NoOpaqueNoQop", kUser, "MD5", "", 3, "",
     "Authorization: Digest username=\"Mufasa\",realm=\"testrealm@host.com\","
     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\",algorithm=\"MD5\","
     "response=\"670fd8c2df070c60b045671b8b24ff02\"\r\n"},
    {"QuoteInUserNameUnchanged", "Mu\"fasa", "MD5", "auth", 1, kOpaque,
     "Authorization: Digest username=\"Mu\"fasa\",realm=\"testrealm@host.com\","
     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",uri=\"/dir/index.html\",algorithm=\"MD5\","
     "response=\"e6f01e1aad9bdaf4cc6a7e120dce9a22\",opaque=\"5ccc069c403ebaf9f0171e9517f40e41\","
     "qop=auth,nc=000000001,cnonce=\"0a4f113b\"\r\n"},
};

AuthStateRecord ExampleRecord(const HeaderCase& c) {
  AuthStateRecord state;
  std::memset(&state, 0, sizeof state);
  state.nonceCount = c.nonceCount;
  CopyText(state.lastNonce, kNonce);
  CopyText(state.nonce, kNonce);
  CopyText(state.cnonce, kCnonce);
  CopyText(state.username, c.username);
  CopyText(state.password, kPassword);
  CopyText(state.realm, kRealm);
  CopyText(state.qop, c.qop);
  CopyText(state.algorithm, c.algorithm);
  CopyText(state.opaque, c.opaque);
  CopyText(state.uri, "/stale/uri/from/an/earlier/request");
  return state;
}

TEST(BuildAuthorizationHeaderTest, WholeLineAndLengthForEachRecord) {
  for (const HeaderCase& c : kHeaderCases) {
    AuthStateRecord state = ExampleRecord(c);
    char out[kAuthorizationLineMax + 1 + 16];
    std::memset(out, '#', sizeof out);
    int length = BuildAuthorizationHeader(&state, kUri, out);
    EXPECT_EQ(c.line, std::string(out)) << c.name;
    EXPECT_EQ(static_cast<int>(std::strlen(c.line)), length) << c.name;
    EXPECT_STREQ(kUri, state.uri) << c.name << ": uri is the request path";
    EXPECT_EQ(nullptr, std::strstr(out, kPassword)) << c.name << ": the password never goes on the line";
  }
}

// The upgrade command's path, query and all, is the digest uri.
TEST(BuildAuthorizationHeaderTest, UpgradePathIsTheUri) {
  AuthStateRecord state;
  std::memset(&state, 0, sizeof state);
  state.nonceCount = 2;
  CopyText(state.nonce, "4e6f6e6365");
  CopyText(state.cnonce, "7a3");
  CopyText(state.username, "admin");
  CopyText(state.password, "secret");
  CopyText(state.realm, "ZEM");
  CopyText(state.qop, "auth");
  char out[kAuthorizationLineMax + 1];
  const char path[] = "/admin/upgrade?tftp://10.77.0.1:69/zem1a2b.bin";
  int length = BuildAuthorizationHeader(&state, path, out);
  const char expected[] =
      "Authorization: Digest username=\"admin\",realm=\"ZEM\",nonce=\"4e6f6e6365\","
      "uri=\"/admin/upgrade?tftp://10.77.0.1:69/zem1a2b.bin\",algorithm=\"\","
      "response=\"5091c19c41d99180c5b7c4b334185480\",qop=auth,nc=000000002,cnonce=\"7a3\"\r\n";
  EXPECT_STREQ(expected, out);
  EXPECT_EQ(static_cast<int>(sizeof expected - 1), length);
}

TEST(BuildAuthorizationHeaderTest, SameRecordSameLineAndTheCountChangesIt) {
  AuthStateRecord state = ExampleRecord(kHeaderCases[1]);
  char first[kAuthorizationLineMax + 1], second[kAuthorizationLineMax + 1];
  BuildAuthorizationHeader(&state, kUri, first);
  BuildAuthorizationHeader(&state, kUri, second);
  EXPECT_STREQ(first, second);
  ++state.nonceCount;
  BuildAuthorizationHeader(&state, kUri, second);
  EXPECT_STRNE(first, second);
}

// Every field at its capacity: the line stays within kAuthorizationLineMax and
// nothing is written past it and its zero byte.
TEST(BuildAuthorizationHeaderTest, FullRecordStaysWithinTheLineMaximum) {
  AuthStateRecord state;
  std::memset(&state, 'x', sizeof state);
  state.nonceCount = 0xffffffffu;
  for (char* field : {state.lastNonce, state.nonce, state.cnonce, state.username, state.password, state.realm,
                      state.uri, state.opaque}) {
    field[kAuthTextSize - 1] = '\0';
  }
  state.qop[kAuthShortSize - 1] = '\0';
  state.algorithm[kAuthShortSize - 1] = '\0';
  const std::string path(127, 'p');
  char out[kAuthorizationLineMax + 1 + 64];
  std::memset(out, '#', sizeof out);
  int length = BuildAuthorizationHeader(&state, path.c_str(), out);
  EXPECT_LE(length, static_cast<int>(kAuthorizationLineMax));
  EXPECT_EQ(static_cast<std::size_t>(length), std::strlen(out));
  EXPECT_EQ(std::string("\r\n"), std::string(out + length - 2));
  EXPECT_NE(nullptr, std::strstr(out, ",nc=0ffffffff,"));
  for (std::size_t i = static_cast<std::size_t>(length) + 1; i < sizeof out; ++i) {
    ASSERT_EQ('#', out[i]) << "byte " << i << " written past the line";
  }
}

}  // namespace
