// An independent verifier for the Authorization line: it reads the line the
// way the adapter does, recomputes the response from the password it knows
// with OpenSSL's MD5 (not ours), and must accept what our code sent.
#include <openssl/evp.h>

#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "common/text.h"
#include "digest/digest.h"

namespace {

std::string OpenSslMd5Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr));
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0xf];
  }
  return hex;
}

// name=value pairs of "Authorization: Digest a="x",b=y,...\r\n"; quoted values
// lose their quotes. Values here contain neither commas nor quotes.
std::map<std::string, std::string> Parameters(const std::string& line) {
  const std::string prefix = "Authorization: Digest ";
  std::map<std::string, std::string> result;
  EXPECT_EQ(0u, line.compare(0, prefix.size(), prefix));
  EXPECT_EQ("\r\n", line.substr(line.size() - 2));
  std::string rest = line.substr(prefix.size(), line.size() - prefix.size() - 2);
  std::size_t at = 0;
  while (at < rest.size()) {
    std::size_t comma = rest.find(',', at);
    if (comma == std::string::npos) comma = rest.size();
    std::string item = rest.substr(at, comma - at);
    std::size_t equals = item.find('=');
    std::string value = item.substr(equals + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    result[item.substr(0, equals)] = value;
    at = comma + 1;
  }
  return result;
}

TEST(OpenSslVerifierTest, AcceptsOurLineForTheRfc2617Example) {
  const std::string password = "Circle Of Life";
  AuthStateRecord state;
  std::memset(&state, 0, sizeof state);
  state.nonceCount = 1;
  CopyText(state.nonce, "dcd98b7102dd2f0e8b11d0f600bfb0c093");
  CopyText(state.lastNonce, state.nonce);
  CopyText(state.cnonce, "0a4f113b");
  CopyText(state.username, "Mufasa");
  CopyText(state.password, password.c_str());
  CopyText(state.realm, "testrealm@host.com");
  CopyText(state.qop, "auth");
  CopyText(state.algorithm, "MD5");
  CopyText(state.opaque, "5ccc069c403ebaf9f0171e9517f40e41");

  char out[kAuthorizationLineMax + 1];
  int length = BuildAuthorizationHeader(&state, "/dir/index.html", out);
  const std::string line(out, static_cast<std::size_t>(length));
  std::map<std::string, std::string> p = Parameters(line);

  EXPECT_EQ("Mufasa", p["username"]);
  EXPECT_EQ("testrealm@host.com", p["realm"]);
  EXPECT_EQ("/dir/index.html", p["uri"]);
  EXPECT_EQ("5ccc069c403ebaf9f0171e9517f40e41", p["opaque"]);
  EXPECT_EQ("000000001", p["nc"]);

  const std::string ha1 = OpenSslMd5Hex(p["username"] + ":" + p["realm"] + ":" + password);
  const std::string ha2 = OpenSslMd5Hex("GET:" + p["uri"]);
  const std::string expected =
      OpenSslMd5Hex(ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" + p["cnonce"] + ":" + p["qop"] + ":" + ha2);
  EXPECT_EQ(expected, p["response"]) << line;

  // The same verifier with the RFC's own eight-digit count gives the RFC's answer,
  // so the verifier itself is sound.
  EXPECT_EQ("6629fae49393a05397450978507c4ef1",
            OpenSslMd5Hex(ha1 + ":" + p["nonce"] + ":00000001:" + p["cnonce"] + ":auth:" + ha2));
}

}  // namespace
