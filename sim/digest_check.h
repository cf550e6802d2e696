// zem-sim's digest check: the hashes (from OpenSSL's libcrypto, never the
// tool's own MD5), the request digest of RFC 2617, the challenge line, and the
// check of an Authorization line against what the adapter offered. No network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---- hashes -----------------------------------------------------------------
std::string HexOf(const unsigned char* bytes, size_t n);
// Raw 16-byte MD5 of the bytes.
std::vector<unsigned char> Md5Raw(const std::string& data);
std::string Md5Hex(const std::string& data);
std::string Sha256Hex(const std::vector<unsigned char>& data);

bool EqualsNoCase(const std::string& a, const std::string& b);

// ---- digest -----------------------------------------------------------------
// The request digest of RFC 2617 for a GET with an empty body.
// algorithm "md5-sess" (any case) hashes the raw 16 bytes of the first
// H(A1) with nonce and cnonce; qop "auth-int" (any case) adds the hash of
// the empty body to H(A2); an empty qop gives the RFC 2069 form.
std::string DigestResponse(const std::string& algorithm, const std::string& user, const std::string& realm,
                           const std::string& password, const std::string& nonce, const std::string& nc,
                           const std::string& cnonce, const std::string& qop, const std::string& method,
                           const std::string& uri);

struct AuthParam {
  std::string name;
  std::string value;
  bool quoted = false;
};

// Splits the text after "Digest " into its parameters.  A bare value runs to
// the next comma that starts another name=value pair, so that a qop list
// sent back bare (qop=auth,auth-int,nc=...) stays whole.  Returns false on
// text that is not a parameter list.
bool ParseAuthParams(const std::string& text, std::vector<AuthParam>* out, std::string* why);
const AuthParam* FindParam(const std::vector<AuthParam>& params, const std::string& name);

// What the adapter offered in its challenge.
struct DigestConfig {
  std::string user;
  std::string password;
  std::string realm;
  std::string qop;        // empty: no qop offered; otherwise the list as sent
  std::string algorithm;  // "MD5", "md5-sess" (as given), "absent" or "unquoted"
  std::string opaque;     // empty: none
  bool strictFormat = true;
};

// The challenge header line, without CR LF.
std::string ChallengeLine(const DigestConfig& cfg, const std::string& nonce, bool stale);

enum class AuthVerdict {
  Accepted,
  Malformed,
  Format,
  BadUsername,
  BadRealm,
  StaleNonce,
  BadUri,
  BadAlgorithm,
  BadOpaque,
  BadQop,
  BadNc,
  MissingCnonce,
  BadResponse,
};
const char* AuthVerdictName(AuthVerdict v);

struct AuthCheck {
  AuthVerdict verdict = AuthVerdict::Malformed;
  std::string detail;
  std::string nonce;          // the nonce the line named (empty when unparsed)
  bool nonceCurrent = false;  // the line named the current nonce
};

// Checks one Authorization header value (the text after "Authorization: ")
// against the current nonce, the request path and the nonce count the
// adapter expects next under that nonce.  The caller counts requests per
// nonce; see nonceCurrent.
AuthCheck CheckAuthorization(const DigestConfig& cfg, const std::string& value, const std::string& currentNonce,
                             const std::string& path, uint32_t expectedNc);
