// The formats zem-sim reads and writes (formats.h).
#include "formats.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// ---- http -------------------------------------------------------------------
std::vector<std::string> SplitLines(const std::string& head) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < head.size()) {
    size_t e = head.find("\r\n", pos);
    if (e == std::string::npos) {
      lines.push_back(head.substr(pos));
      break;
    }
    lines.push_back(head.substr(pos, e - pos));
    pos = e + 2;
  }
  return lines;
}

// ---- tftp -------------------------------------------------------------------
void Put16(std::vector<unsigned char>* v, uint16_t x) {
  v->push_back(static_cast<unsigned char>(x >> 8));
  v->push_back(static_cast<unsigned char>(x & 255));
}

void PutZ(std::vector<unsigned char>* v, const std::string& s) {
  v->insert(v->end(), s.begin(), s.end());
  v->push_back(0);
}

}  // namespace

bool ParseRequestHead(const std::string& head, RequestHead* out) {
  *out = RequestHead();
  std::vector<std::string> lines = SplitLines(head);
  if (lines.empty()) return false;
  const std::string& rl = lines[0];
  size_t s1 = rl.find(' ');
  size_t s2 = rl.rfind(' ');
  if (s1 == std::string::npos || s2 == s1) return false;
  out->method = rl.substr(0, s1);
  out->path = rl.substr(s1 + 1, s2 - s1 - 1);
  out->version = rl.substr(s2 + 1);
  if (out->path.empty() || out->path[0] != '/') return false;
  auto problem = [out](const std::string& p) {
    if (out->formatProblem.empty()) out->formatProblem = p;
  };
  if (out->method != "GET") problem("method " + out->method);
  if (out->version != "HTTP/1.1") problem("version " + out->version);
  if (out->path.find(' ') != std::string::npos) problem("blank inside the path");

  bool sawHost = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (l.empty()) continue;  // the final empty line
    if (l.compare(0, 6, "Host: ") == 0 && !sawHost && !out->hasAuthorization) {
      sawHost = true;
      out->host = l.substr(6);
      uint32_t a;
      if (i != 1) problem("Host is not the second line");
      if (!ParseDottedQuad(out->host, &a)) problem("Host is not a dotted-quad address");
    } else if (l.compare(0, 15, "Authorization: ") == 0 && !out->hasAuthorization) {
      out->hasAuthorization = true;
      out->authorization = l.substr(15);
      if (!sawHost) problem("Authorization before Host");
    } else {
      out->otherHeaders.push_back(l);
      problem("unexpected header line: " + l.substr(0, 60));
    }
  }
  if (!sawHost) problem("no Host line");
  return true;
}

bool ParseDottedQuad(const std::string& text, uint32_t* hostOrder) {
  uint32_t value = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    size_t start = pos;
    unsigned v = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
      v = v * 10 + unsigned(text[pos] - '0');
      ++pos;
    }
    size_t len = pos - start;
    if (len == 0 || v > 255 || (len > 1 && text[start] == '0')) return false;
    value = (value << 8) | v;
  }
  if (pos != text.size()) return false;
  *hostOrder = value;
  return true;
}

std::string DottedQuad(uint32_t a) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (a >> 24) & 255, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return buf;
}

bool ParseUpgradeTarget(const std::string& path, uint32_t* addr, uint16_t* port, std::string* file, std::string* why) {
  const std::string prefix = "/admin/upgrade?tftp://";
  if (path.compare(0, prefix.size(), prefix) != 0) {
    *why = "path does not begin with " + prefix;
    return false;
  }
  size_t colon = path.find(':', prefix.size());
  if (colon == std::string::npos) {
    *why = "no port";
    return false;
  }
  if (!ParseDottedQuad(path.substr(prefix.size(), colon - prefix.size()), addr)) {
    *why = "server address is not a dotted quad";
    return false;
  }
  size_t slash = path.find('/', colon);
  if (slash == std::string::npos) {
    *why = "no file name";
    return false;
  }
  std::string digits = path.substr(colon + 1, slash - colon - 1);
  if (digits.empty() || digits.size() > 5 || digits[0] == '0' ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    *why = "port \"" + digits + "\" is not plain decimal";
    return false;
  }
  unsigned long p = std::strtoul(digits.c_str(), nullptr, 10);
  if (p == 0 || p > 65535) {
    *why = "port out of range";
    return false;
  }
  *port = uint16_t(p);
  *file = path.substr(slash);
  if (file->size() < 2 || file->size() > 255) {
    *why = "file name empty or too long";
    return false;
  }
  return true;
}

std::vector<unsigned char> BuildRrq(const std::string& file) {
  std::vector<unsigned char> v;
  Put16(&v, kRrq);
  PutZ(&v, file);
  PutZ(&v, "octet");
  PutZ(&v, "tsize");
  PutZ(&v, "0");
  PutZ(&v, "timeout");
  PutZ(&v, "5");
  return v;
}

std::vector<unsigned char> BuildAck(uint16_t block) {
  std::vector<unsigned char> v;
  Put16(&v, kAck);
  Put16(&v, block);
  return v;
}

std::vector<unsigned char> BuildError(uint16_t code, const std::string& msg) {
  std::vector<unsigned char> v;
  Put16(&v, kError);
  Put16(&v, code);
  PutZ(&v, msg);
  return v;
}

bool ParseOack(const unsigned char* p, size_t n, uint64_t* tsize, std::string* why) {
  if (n < 2 || p[0] != 0 || p[1] != kOack) {
    *why = "not an OACK";
    return false;
  }
  std::vector<std::string> fields;
  size_t pos = 2;
  while (pos < n) {
    const void* z = std::memchr(p + pos, 0, n - pos);
    if (z == nullptr) {
      *why = "option text without a terminating zero byte";
      return false;
    }
    size_t len = size_t(static_cast<const unsigned char*>(z) - (p + pos));
    fields.emplace_back(reinterpret_cast<const char*>(p + pos), len);
    pos += len + 1;
  }
  if (fields.size() != 4 || fields[0] != "tsize" || fields[2] != "timeout") {
    std::string seen;
    for (size_t i = 0; i < fields.size() && i < 8; ++i) seen += (i ? " " : "") + JsonString(fields[i]);
    *why = "options are not exactly tsize, timeout: " + seen;
    return false;
  }
  const std::string& d = fields[1];
  if (d.empty() || d.size() > 10 || d.find_first_not_of("0123456789") != std::string::npos ||
      (d.size() > 1 && d[0] == '0')) {
    *why = "tsize \"" + d + "\" is not plain decimal";
    return false;
  }
  if (fields[3] != "5") {
    *why = "timeout is \"" + fields[3] + "\", not 5";
    return false;
  }
  *tsize = std::strtoull(d.c_str(), nullptr, 10);
  return true;
}

// ---- misc -------------------------------------------------------------------
bool ParseTargets(const std::string& text, unsigned* mask) {
  unsigned m = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t e = text.find(',', pos);
    if (e == std::string::npos) e = text.size();
    std::string w = text.substr(pos, e - pos);
    if (w == "status")
      m |= kTargetStatus;
    else if (w == "upgrade")
      m |= kTargetUpgrade;
    else if (w == "verify")
      m |= kTargetVerify;
    else if (w == "all")
      m |= kTargetStatus | kTargetUpgrade | kTargetVerify;
    else
      return false;
    pos = e + 1;
  }
  *mask = m;
  return m != 0;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"')
      out += "\\\"";
    else if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(c));
      out += buf;
    } else {
      out.push_back(char(c));
    }
  }
  out += "\"";
  return out;
}

std::string ImageVersion(const std::vector<unsigned char>& image) {
  if (image.size() < 128) return std::string();
  for (size_t i = 92; i < 128; ++i)
    if (image[i] == 0) return std::string(reinterpret_cast<const char*>(&image[92]), i - 92);
  return std::string();
}
