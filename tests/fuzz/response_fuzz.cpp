// An adapter's answer as HttpExchange reads it: ClassifyResponse, then the
// five status-page fields with ExtractField unless a challenge was taken.
//
// Input: the bytes received. As in ResponseBuffer they are followed by one
// zero byte, in a heap block of exactly that size, and a zero byte among them
// ends the text early. The authentication record and the fields start from
// earlier values and are followed by guard bytes.
//
// Properties: the status line is classified as its rules say; a challenge is
// taken only from a 401 answer that carries the header, and leaves a record
// whose every text ends within its field; each field becomes exactly the text
// after the first '>' (and any tags right after it) that follows its label,
// at most 127 characters, ended within its 128 bytes; nothing is written past
// a record.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "digest/digest.h"
#include "tests/fuzz/check.h"
#include "web/web.h"

namespace {

constexpr unsigned char kGuard = 0xa5;

struct GuardedAuth {
  AuthStateRecord record;
  unsigned char guard[64];
};
struct GuardedFields {
  DeviceInfoRecord record;
  unsigned char guard[64];
};

bool GuardIntact(const unsigned char* guard, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (guard[i] != kGuard) return false;
  }
  return true;
}

// The status line read plainly: "HTTP/1.1", one character of any kind, blanks
// and tabs, then three characters of status.
int ReadStatus(const std::string& text, bool* challengeHeader) {
  *challengeHeader = false;
  if (text.compare(0, 8, "HTTP/1.1") != 0) return -1;
  if (text.size() < 9) return -2;
  std::size_t at = text.find_first_not_of(" \t", 9);
  if (at == std::string::npos) return -2;
  std::string status = text.substr(at, 3);
  if (status == "200") return 0;
  if (status != "401") return 2;
  *challengeHeader = text.find("WWW-Authenticate:", at) != std::string::npos;
  return 2;
}

// What ExtractField should make of the text: false when it leaves the field alone.
bool ReadField(const std::string& text, const char* label, std::string* value) {
  std::size_t at = text.find(label);
  if (at == std::string::npos) return false;
  for (;;) {
    at = text.find('>', at);
    if (at == std::string::npos) return false;
    ++at;
    if (at >= text.size() || text[at] != '<') break;
  }
  std::size_t end = text.find('<', at);
  if (end == std::string::npos) end = text.size();
  *value = text.substr(at, std::min<std::size_t>(end - at, kDeviceFieldMax));
  return true;
}

struct Label {
  const char* label;
  char* field;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> buffer(data, data + size);
  buffer.push_back('\0');
  const char* text = buffer.data();
  const std::string seen(text);  // up to the first zero byte, as the code reads it

  GuardedAuth auth;
  std::memset(&auth, 0, sizeof auth);
  std::memset(auth.guard, kGuard, sizeof auth.guard);
  CopyText(auth.record.realm, "earlier realm");
  CopyText(auth.record.nonce, "earlier");
  CopyText(auth.record.lastNonce, "earlier");
  CopyText(auth.record.username, "admin");
  CopyText(auth.record.password, "1234");

  int code = ClassifyResponse(text, &auth.record);
  bool challengeHeader = false;
  int expected = ReadStatus(seen, &challengeHeader);
  if (challengeHeader) {
    fuzz::Check(code == 1 || code == 2, "401 with a challenge header classified %d", code);
  } else {
    fuzz::Check(code == expected, "classified %d, the status line says %d", code, expected);
  }
  const AuthStateRecord& a = auth.record;
  fuzz::Check(fuzz::TerminatedWithin(a.lastNonce, sizeof a.lastNonce) &&
                  fuzz::TerminatedWithin(a.nonce, sizeof a.nonce) &&
                  fuzz::TerminatedWithin(a.cnonce, sizeof a.cnonce) &&
                  fuzz::TerminatedWithin(a.realm, sizeof a.realm) && fuzz::TerminatedWithin(a.qop, sizeof a.qop) &&
                  fuzz::TerminatedWithin(a.algorithm, sizeof a.algorithm) &&
                  fuzz::TerminatedWithin(a.opaque, sizeof a.opaque),
              "a text of the authentication record runs past its field");
  fuzz::Check(GuardIntact(auth.guard, sizeof auth.guard), "written past the authentication record");
  if (code == 1) {
    fuzz::Check(std::strcmp(a.nonce, a.lastNonce) == 0, "a taken challenge leaves nonce and lastNonce apart");
    return 0;  // no extraction after a challenge
  }
  if (size == 0) return 0;  // nothing received: nothing extracted

  GuardedFields fields;
  std::memset(fields.guard, kGuard, sizeof fields.guard);
  DeviceInfoRecord& d = fields.record;
  const Label labels[] = {
      {"Product Name:", d.ProductName},         {"MAC Address:", d.MacAddress},
      {"Software Version:", d.SoftwareVersion}, {"Hardware Version:", d.HardwareVersion},
      {"Serial Number:", d.SerialNumber},
  };
  for (const Label& l : labels) {
    std::memset(l.field, 'x', kDeviceFieldSize);
    CopyText(l.field, kDeviceFieldSize, "earlier value");
    std::string value;
    bool expectWritten = ReadField(seen, l.label, &value);
    bool written = ExtractField(text, l.label, l.field, kDeviceFieldMax);
    fuzz::Check(fuzz::TerminatedWithin(l.field, kDeviceFieldSize), "%s runs past its 128 bytes", l.label);
    fuzz::Check(written == expectWritten, "%s: written %d, expected %d", l.label, written, expectWritten);
    const std::string now(l.field);
    fuzz::Check(now == (expectWritten ? value : std::string("earlier value")), "%s became \"%s\"", l.label,
                now.c_str());
  }
  fuzz::Check(GuardIntact(fields.guard, sizeof fields.guard), "written past the fields");
  return 0;
}
