// The digest computations of RFC 2617 (H(A1), H(A2), the request digest) and
// the Authorization line that carries them back to the adapter.
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "digest/digest.h"

namespace {

constexpr char kMethod[] = "GET";
constexpr char kEmptyBody[] = "";

// ASCII-only comparison ignoring letter case; the adapter's algorithm and qop
// tokens are ASCII, and the locale must not change what matches.
bool EqualsIgnoringCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (FoldCase(*a) != FoldCase(*b)) return false;
    if (*a == '\0') return true;
  }
}

void AddText(MD5Context* context, const char* text) { MD5Update(context, text, std::strlen(text)); }
void AddColon(MD5Context* context) { MD5Update(context, ":", 1); }

// Each piece of the line: its format with the fields of the record at their
// capacities gives the longest line any record can produce.
constexpr char kLineFormat[] =
    "Authorization: Digest username=\"%s\",realm=\"%s\",nonce=\"%s\",uri=\"%s\",algorithm=\"%s\",response=\"%s\"";
constexpr char kOpaqueFormat[] = ",opaque=\"%s\"";
constexpr char kQopFormat[] = ",qop=%s,nc=%09x,cnonce=\"%s\"";
constexpr char kLineEnd[] = "\r\n";
constexpr std::size_t kNonceCountDigits = 9;

// The longest line: each format without its conversions, plus every field at
// its capacity (the nc value is always nine digits).
constexpr std::size_t kLongestLine =
    (sizeof kLineFormat - 1 - 6 * 2) + 4 * (kAuthTextSize - 1) /* username realm nonce uri */ +
    (kAuthShortSize - 1) /* algorithm */ + (kHashHexSize - 1) /* response */ +
    (sizeof kOpaqueFormat - 1 - 2) + (kAuthTextSize - 1) /* opaque */ +
    (sizeof kQopFormat - 1 - 2 - 4 - 2) + (kAuthShortSize - 1) + kNonceCountDigits + (kAuthTextSize - 1) +
    (sizeof kLineEnd - 1);
static_assert(kLongestLine <= kAuthorizationLineMax,
              "the Authorization line of any record fits into kAuthorizationLineMax bytes");

}  // namespace

void CvtHex(const unsigned char digest[16], HashHex hex) {
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    hex[2 * i] = kDigits[(digest[i] >> 4) & 0xf];
    hex[2 * i + 1] = kDigits[digest[i] & 0xf];
  }
  hex[32] = '\0';
}

void DigestCalcHA1(const char* algorithm, const char* username, const char* realm, const char* password,
                   const char* nonce, const char* cnonce, HashHex sessionKey) {
  unsigned char digest[16];
  MD5Context context;
  MD5Init(&context);
  AddText(&context, username);
  AddColon(&context);
  AddText(&context, realm);
  AddColon(&context);
  AddText(&context, password);
  MD5Final(digest, &context);
  if (EqualsIgnoringCase(algorithm, "md5-sess")) {
    // As in the reference routine of RFC 2617: the session key hashes the raw
    // 16 bytes of the first digest, not its hexadecimal text.
    MD5Init(&context);
    MD5Update(&context, digest, sizeof digest);
    AddColon(&context);
    AddText(&context, nonce);
    AddColon(&context);
    AddText(&context, cnonce);
    MD5Final(digest, &context);
  }
  CvtHex(digest, sessionKey);
}

void DigestCalcResponse(const HashHex ha1, const char* nonce, const char* nonceCount, const char* cnonce,
                        const char* qop, const char* method, const char* uri, const char* entityBody,
                        HashHex response) {
  unsigned char digest[16];
  HashHex ha2Hex;
  MD5Context context;

  MD5Init(&context);
  AddText(&context, method);
  AddColon(&context);
  AddText(&context, uri);
  // Only the single token auth-int protects the body; a list such as
  // auth,auth-int is hashed whole elsewhere but takes the plain H(A2) here.
  if (EqualsIgnoringCase(qop, "auth-int")) {
    HashHex bodyHex;
    MD5Context bodyContext;
    MD5Init(&bodyContext);
    AddText(&bodyContext, entityBody);
    MD5Final(digest, &bodyContext);
    CvtHex(digest, bodyHex);
    AddColon(&context);
    AddText(&context, bodyHex);
  }
  MD5Final(digest, &context);
  CvtHex(digest, ha2Hex);

  MD5Init(&context);
  AddText(&context, ha1);
  AddColon(&context);
  AddText(&context, nonce);
  AddColon(&context);
  if (qop[0] != '\0') {
    AddText(&context, nonceCount);
    AddColon(&context);
    AddText(&context, cnonce);
    AddColon(&context);
    AddText(&context, qop);
    AddColon(&context);
  }
  AddText(&context, ha2Hex);
  MD5Final(digest, &context);
  CvtHex(digest, response);
}

void ComputeDigestResponse(const char* nonce, const char* cnonce, const char* username, const char* realm,
                           const char* password, const char* algorithm, const char* nonceCount,
                           const char* method, const char* qop, const char* uri, const char* entityBody,
                           HashHex response) {
  HashHex ha1;
  DigestCalcHA1(algorithm, username, realm, password, nonce, cnonce, ha1);
  DigestCalcResponse(ha1, nonce, nonceCount, cnonce, qop, method, uri, entityBody, response);
  std::memset(ha1, 0, sizeof ha1);  // as good as the password to anyone who reads it
}

int BuildAuthorizationHeader(AuthStateRecord* state, const char* path, char* out) {
  // The uri holds at most 127 characters; every path the system sends fits
  // (the upgrade path is made in a 128-byte text).
  CopyText(state->uri, path);

  char nonceCountText[kNonceCountDigits + 1] = "";
  if (state->qop[0] != '\0') std::snprintf(nonceCountText, sizeof nonceCountText, "%09x", state->nonceCount);

  HashHex response;
  ComputeDigestResponse(state->nonce, state->cnonce, state->username, state->realm, state->password,
                        state->algorithm, nonceCountText, kMethod, state->qop, state->uri, kEmptyBody, response);

  // Every field of the record is terminated within its capacity by the code
  // that fills it, so the static_assert above bounds the line; the formatting
  // is bounded all the same.
  constexpr std::size_t capacity = kAuthorizationLineMax + 1;
  std::size_t length = AppendFormat(out, capacity, 0, kLineFormat, state->username, state->realm, state->nonce,
                                    state->uri, state->algorithm, response);
  if (state->opaque[0] != '\0') length = AppendFormat(out, capacity, length, kOpaqueFormat, state->opaque);
  if (state->qop[0] != '\0') {
    length = AppendFormat(out, capacity, length, kQopFormat, state->qop, state->nonceCount, state->cnonce);
  }
  length = AppendFormat(out, capacity, length, "%s", kLineEnd);
  return static_cast<int>(length);
}
