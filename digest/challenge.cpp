// Reading the adapter's digest challenge into the one authentication record.
//
// The adapter's challenge is searched, not parsed: each parameter is found as
// the first plain occurrence of name="  anywhere in the rest of the response
// (later headers and the page body included), and its value runs to the next
// double quote or the end of the text. Bare tokens (algorithm=MD5) are not
// seen, a longer name ending in nonce (cnonce=") also matches nonce=", and
// nothing is unescaped.
//
// Values that do not fit their field, or that hold a control character: the
// challenge is refused (result 1) and the record keeps every earlier value. A
// cut nonce, realm or opaque would only produce a response the adapter must
// reject, and a cut qop or algorithm could even change which digest form is
// computed; refusing makes the runner report an unexpected answer instead of
// asking for credentials that cannot work. Every value goes back to the adapter
// verbatim in our Authorization line, so one holding CR or LF (as a value
// without its closing quote does, running on through the following lines)
// would put header lines of the adapter's making into our next request.
#include <cstdio>
#include <cstring>

#include "common/random.h"
#include "common/text.h"
#include "digest/digest.h"

namespace {

struct Value {
  const char* start;   // first character after the key; null when the key is absent
  std::size_t length;  // up to the next double quote or the end of the text
};

Value FindValue(const char* text, const char* key) {
  const char* found = std::strstr(text, key);
  if (found == nullptr) return {nullptr, 0};
  const char* start = found + std::strlen(key);
  const char* end = std::strchr(start, '"');
  return {start, end != nullptr ? static_cast<std::size_t>(end - start) : std::strlen(start)};
}

// C0 controls and DEL; a tab counts too.
bool HoldsControl(const Value& value) {
  for (std::size_t i = 0; i < value.length; ++i) {
    unsigned char c = static_cast<unsigned char>(value.start[i]);
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// An absent value is acceptable (its field becomes empty); a present one must
// fit its field and hold no control character.
bool Acceptable(const Value& value, std::size_t capacity) {
  return value.start == nullptr || (value.length < capacity && !HoldsControl(value));
}

// Copies the value, or makes the field empty when the key was absent. The
// caller has checked that it fits.
template <std::size_t N>
void Store(char (&field)[N], const Value& value) {
  std::size_t n = value.start != nullptr ? value.length : 0;
  if (n > N - 1) n = N - 1;
  if (n != 0) std::memcpy(field, value.start, n);
  field[n] = '\0';
}

}  // namespace

int ParseDigestChallenge(const char* text, AuthStateRecord* state) {
  Value realm = FindValue(text, "realm=\"");
  if (realm.start == nullptr || !Acceptable(realm, sizeof state->realm)) return 1;

  Value nonce = FindValue(text, "nonce=\"");
  if (nonce.start == nullptr) {
    // Without a nonce the answer is no usable challenge; only the realm is taken.
    Store(state->realm, realm);
    return 1;
  }

  Value algorithm = FindValue(text, "algorithm=\"");
  Value qop = FindValue(text, "qop=\"");
  Value opaque = FindValue(text, "opaque=\"");
  if (!Acceptable(nonce, sizeof state->nonce) || !Acceptable(algorithm, sizeof state->algorithm) ||
      !Acceptable(qop, sizeof state->qop) || !Acceptable(opaque, sizeof state->opaque)) {
    return 1;
  }

  Store(state->realm, realm);
  Store(state->nonce, nonce);
  // A new nonce starts the count again; the same nonce again means the
  // adapter refused what we sent under it, and the count shows that.
  if (std::strcmp(state->nonce, state->lastNonce) != 0) {
    CopyText(state->lastNonce, state->nonce);
    state->nonceCount = 0;
  }
  // A fresh client nonce on every challenge, from the process-wide generator
  // (results 0 to 32767), so the text is 1 to 4 lower-case hex digits. This
  // runs on a new worker thread each time, where the runtime's rand() would
  // start from its fixed seed again on Windows.
  std::snprintf(state->cnonce, sizeof state->cnonce, "%x", static_cast<unsigned>(SharedRandom()));
  Store(state->algorithm, algorithm);
  Store(state->qop, qop);
  Store(state->opaque, opaque);
  return 0;
}
