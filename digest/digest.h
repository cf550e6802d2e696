// MD5 and HTTP digest authentication: the one authentication record, the
// challenge parser and the Authorization line.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kAuthTextSize = 128;  // at most 127 characters
inline constexpr std::size_t kAuthShortSize = 16;  // qop and algorithm: at most 15

struct AuthStateRecord {
  std::uint32_t nonceCount;
  char lastNonce[kAuthTextSize];
  char nonce[kAuthTextSize];
  char cnonce[kAuthTextSize];
  char username[kAuthTextSize];
  char password[kAuthTextSize];
  char realm[kAuthTextSize];
  char qop[kAuthShortSize];
  char algorithm[kAuthShortSize];
  char uri[kAuthTextSize];
  char opaque[kAuthTextSize];
};
extern AuthStateRecord AuthState;

// Reads the challenge that begins at "WWW-Authenticate:" into the record.
// 0: realm and nonce found; 1: one of them missing (or refused, see digest/challenge.cpp).
int ParseDigestChallenge(const char* text, AuthStateRecord* state);

// ---- MD5 ----------------------------------------------------------------------
struct MD5Context {
  std::uint32_t state[4];
  std::uint32_t count[2];  // bits, low word first
  unsigned char buffer[64];
};
void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const void* bytes, std::size_t length);
// Writes the 16-byte digest and clears the context.
void MD5Final(unsigned char digest[16], MD5Context* context);

inline constexpr std::size_t kHashHexSize = 33;
typedef char HashHex[kHashHexSize];

void CvtHex(const unsigned char digest[16], HashHex hex);
void DigestCalcHA1(const char* algorithm, const char* username, const char* realm,
                   const char* password, const char* nonce, const char* cnonce, HashHex sessionKey);
void DigestCalcResponse(const HashHex ha1, const char* nonce, const char* nonceCount,
                        const char* cnonce, const char* qop, const char* method, const char* uri,
                        const char* entityBody, HashHex response);
void ComputeDigestResponse(const char* nonce, const char* cnonce, const char* username,
                           const char* realm, const char* password, const char* algorithm,
                           const char* nonceCount, const char* method, const char* qop,
                           const char* uri, const char* entityBody, HashHex response);

// The longest line BuildAuthorizationHeader writes, CR LF included.
inline constexpr std::size_t kAuthorizationLineMax = 1024;
// Writes the whole Authorization line, CR LF included, at `out` (room for
// kAuthorizationLineMax bytes and a zero) and returns its length in bytes.
int BuildAuthorizationHeader(AuthStateRecord* state, const char* path, char* out);
