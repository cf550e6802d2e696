// The adapter's digest challenge as the exchange meets it: ParseDigestChallenge,
// then the count raised and BuildAuthorizationHeader for the next request,
// challenge after challenge on the one record.
//
// Input: one byte of choices (bit 0: the record as at start-up or as an
// earlier challenge left it; bit 1: the status page's path or the upgrade
// command's), then up to eight challenge texts separated by zero bytes. Each
// text is handed over in a heap block of exactly its length and terminator.
//
// Properties: the parse gives the result and the record that the rules give
// (read plainly below): a challenge without realm, or with a value that does
// not fit its field or holds a control character, is refused and changes
// nothing; one without nonce changes only the realm. Every text of the record
// ends within its field, and nothing is written past the record. The
// Authorization line fits its buffer, ends in CR LF and holds no other
// control character, and reads back as exactly the record's values.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/random.h"
#include "common/text.h"
#include "digest/digest.h"
#include "tests/digest/earlier_record.h"
#include "tests/fuzz/check.h"

namespace {

constexpr unsigned char kGuard = 0xa5;
constexpr std::size_t kMostChallenges = 8;
constexpr char kStatusPath[] = "/admin/advanced";
constexpr char kUpgradePath[] = "/admin/upgrade?tftp://10.77.0.1:69/zem7fff.bin";

struct GuardedRecord {
  AuthStateRecord record;
  unsigned char guard[64];
};

struct Found {
  bool present;
  std::string value;
};

// The first name=" anywhere in the text; the value runs to the next double
// quote or the end.
Found Find(const std::string& text, const char* key) {
  std::size_t at = text.find(key);
  if (at == std::string::npos) return {false, ""};
  std::size_t start = at + std::strlen(key);
  std::size_t end = text.find('"', start);
  return {true, text.substr(start, end == std::string::npos ? std::string::npos : end - start)};
}

bool HasControl(const std::string& value) {
  for (char c : value) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return true;
  }
  return false;
}

// Absent, or fitting its field and free of control characters.
bool Usable(const Found& f, std::size_t capacity) {
  return !f.present || (f.value.size() < capacity && !HasControl(f.value));
}

bool IsClientNonce(const char* text) {
  std::size_t n = std::strlen(text);
  if (n < 1 || n > 4 || (n > 1 && text[0] == '0')) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) return false;
  }
  return std::strtoul(text, nullptr, 16) <= 0x7fff;
}

bool EveryTextEnds(const AuthStateRecord& r) {
  using fuzz::TerminatedWithin;
  return TerminatedWithin(r.lastNonce, sizeof r.lastNonce) && TerminatedWithin(r.nonce, sizeof r.nonce) &&
         TerminatedWithin(r.cnonce, sizeof r.cnonce) && TerminatedWithin(r.username, sizeof r.username) &&
         TerminatedWithin(r.password, sizeof r.password) && TerminatedWithin(r.realm, sizeof r.realm) &&
         TerminatedWithin(r.qop, sizeof r.qop) && TerminatedWithin(r.algorithm, sizeof r.algorithm) &&
         TerminatedWithin(r.uri, sizeof r.uri) && TerminatedWithin(r.opaque, sizeof r.opaque);
}

void CheckParse(const std::string& text, const AuthStateRecord& before, const AuthStateRecord& after, int result) {
  Found realm = Find(text, "realm=\"");
  Found nonce = Find(text, "nonce=\"");
  Found algorithm = Find(text, "algorithm=\"");
  Found qop = Find(text, "qop=\"");
  Found opaque = Find(text, "opaque=\"");

  if (!realm.present || !Usable(realm, sizeof before.realm)) {
    fuzz::Check(result == 1 && std::memcmp(&before, &after, sizeof before) == 0,
                "no usable realm: result %d, the record %s", result,
                std::memcmp(&before, &after, sizeof before) == 0 ? "untouched" : "changed");
    return;
  }
  if (!nonce.present) {
    AuthStateRecord expected = before;
    CopyText(expected.realm, realm.value.c_str());
    fuzz::Check(result == 1 && std::memcmp(&expected, &after, sizeof before) == 0,
                "no nonce: result %d, realm \"%s\", and %s", result, after.realm,
                std::memcmp(&expected, &after, sizeof before) == 0 ? "nothing else changed" : "more changed");
    return;
  }
  if (!Usable(nonce, sizeof before.nonce) || !Usable(algorithm, sizeof before.algorithm) ||
      !Usable(qop, sizeof before.qop) || !Usable(opaque, sizeof before.opaque)) {
    fuzz::Check(result == 1 && std::memcmp(&before, &after, sizeof before) == 0,
                "a value that does not fit or holds a control character: result %d, the record %s", result,
                std::memcmp(&before, &after, sizeof before) == 0 ? "untouched" : "changed");
    return;
  }
  fuzz::Check(result == 0, "realm and nonce found and usable, result %d", result);
  fuzz::Check(realm.value == after.realm && nonce.value == after.nonce && nonce.value == after.lastNonce,
              "realm \"%s\", nonce \"%s\", lastNonce \"%s\"", after.realm, after.nonce, after.lastNonce);
  std::uint32_t count = nonce.value == before.lastNonce ? before.nonceCount : 0;
  fuzz::Check(after.nonceCount == count, "nonceCount %u, expected %u", after.nonceCount, count);
  fuzz::Check(IsClientNonce(after.cnonce), "cnonce \"%s\"", after.cnonce);
  fuzz::Check(algorithm.value == after.algorithm && qop.value == after.qop && opaque.value == after.opaque,
              "algorithm \"%s\", qop \"%s\", opaque \"%s\"", after.algorithm, after.qop, after.opaque);
  fuzz::Check(std::strcmp(before.username, after.username) == 0 &&
                  std::strcmp(before.password, after.password) == 0 && std::strcmp(before.uri, after.uri) == 0,
              "the credentials or the uri changed");
}

bool IsLowerHex(const std::string& text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void CheckLine(const AuthStateRecord& r, const char* path, const std::vector<char>& out, int length) {
  const char* line = out.data();
  std::size_t n = strnlen(line, out.size());
  fuzz::Check(n < out.size(), "the line is not ended within its buffer");
  fuzz::Check(length >= 0 && static_cast<std::size_t>(length) == n && n <= kAuthorizationLineMax,
              "result %d for a line of %zu bytes", length, n);
  const std::string text(line, n);
  fuzz::Check(n >= 2 && text.compare(n - 2, 2, "\r\n") == 0, "the line does not end in CR LF");
  for (std::size_t i = 0; i + 2 < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    fuzz::Check(c >= 0x20 && c != 0x7f, "control character %02x at %zu of the line: %s", c, i, line);
  }

  std::string head = std::string("Authorization: Digest username=\"") + r.username + "\",realm=\"" + r.realm +
                     "\",nonce=\"" + r.nonce + "\",uri=\"" + path + "\",algorithm=\"" + r.algorithm +
                     "\",response=\"";
  std::string tail = "\"";
  if (r.opaque[0] != '\0') tail += std::string(",opaque=\"") + r.opaque + "\"";
  if (r.qop[0] != '\0') {
    char nc[16];
    std::snprintf(nc, sizeof nc, "%09x", r.nonceCount);
    tail += std::string(",qop=") + r.qop + ",nc=" + nc + ",cnonce=\"" + r.cnonce + "\"";
  }
  tail += "\r\n";
  fuzz::Check(text.size() == head.size() + 32 + tail.size() && text.compare(0, head.size(), head) == 0 &&
                  IsLowerHex(text.substr(head.size(), 32)) && text.compare(head.size() + 32, tail.size(), tail) == 0,
              "the line does not read back as the record: %s", line);
  fuzz::Check(std::strcmp(r.uri, path) == 0, "uri \"%s\" for the path %s", r.uri, path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool earlier = (data[0] & 1) != 0;
  const char* path = (data[0] & 2) != 0 ? kUpgradePath : kStatusPath;
  SeedSharedRandom(data[0]);

  GuardedRecord guarded;
  std::memset(&guarded, 0, sizeof guarded);
  std::memset(guarded.guard, kGuard, sizeof guarded.guard);
  AuthStateRecord& state = guarded.record;
  if (earlier) digesttest::FillEarlier(&state);
  CopyText(state.username, "admin");  // as the credentials dialog leaves them
  CopyText(state.password, "1234");

  const char* rest = reinterpret_cast<const char*>(data + 1);
  std::size_t left = size - 1;
  for (std::size_t i = 0; i < kMostChallenges && left > 0; ++i) {
    std::size_t length = strnlen(rest, left);
    std::vector<char> text(rest, rest + length);
    text.push_back('\0');
    rest += length;
    left -= length;
    if (left > 0) {  // the separating zero byte
      ++rest;
      --left;
    }

    const AuthStateRecord before = state;
    int result = ParseDigestChallenge(text.data(), &state);
    fuzz::Check(EveryTextEnds(state), "a text of the record runs past its field");
    CheckParse(std::string(text.data(), length), before, state, result);

    ++state.nonceCount;  // as HttpExchange does before each request with credentials
    std::vector<char> line(kAuthorizationLineMax + 1, '\x01');
    int written = BuildAuthorizationHeader(&state, path, line.data());
    fuzz::Check(EveryTextEnds(state), "a text of the record runs past its field");
    CheckLine(state, path, line, written);
    for (unsigned char g : guarded.guard) fuzz::Check(g == kGuard, "written past the record");
  }
  return 0;
}
