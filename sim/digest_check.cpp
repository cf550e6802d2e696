// The digest check of zem-sim (digest_check.h).
#include "digest_check.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::vector<unsigned char> EvpDigest(const EVP_MD* md, const void* data, size_t n) {
  std::vector<unsigned char> out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr || EVP_DigestInit_ex(ctx, md, nullptr) != 1 || EVP_DigestUpdate(ctx, data, n) != 1 ||
      EVP_DigestFinal_ex(ctx, out.data(), &len) != 1) {
    EVP_MD_CTX_free(ctx);
    std::fprintf(stderr, "zem-sim: libcrypto digest failed\n");
    std::abort();
  }
  EVP_MD_CTX_free(ctx);
  out.resize(len);
  return out;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Does the segment starting at pos (up to the next comma) look like name=...?
bool StartsPair(const std::string& t, size_t pos) {
  while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
  size_t start = pos;
  while (pos < t.size() && IsTokenChar(t[pos])) ++pos;
  return pos > start && pos < t.size() && t[pos] == '=';
}

bool IsLowerHex(const std::string& s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return !s.empty();
}

AuthCheck Verdict(AuthCheck c, AuthVerdict v, const std::string& detail) {
  c.verdict = v;
  c.detail = detail;
  return c;
}

}  // namespace

// ---- hashes -----------------------------------------------------------------
std::string HexOf(const unsigned char* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

std::vector<unsigned char> Md5Raw(const std::string& data) { return EvpDigest(EVP_md5(), data.data(), data.size()); }

std::string Md5Hex(const std::string& data) {
  std::vector<unsigned char> d = Md5Raw(data);
  return HexOf(d.data(), d.size());
}

std::string Sha256Hex(const std::vector<unsigned char>& data) {
  std::vector<unsigned char> d = EvpDigest(EVP_sha256(), data.data(), data.size());
  return HexOf(d.data(), d.size());
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// ---- digest -----------------------------------------------------------------
std::string DigestResponse(const std::string& algorithm, const std::string& user, const std::string& realm,
                           const std::string& password, const std::string& nonce, const std::string& nc,
                           const std::string& cnonce, const std::string& qop, const std::string& method,
                           const std::string& uri) {
  std::vector<unsigned char> ha1 = Md5Raw(user + ":" + realm + ":" + password);
  if (EqualsNoCase(algorithm, "md5-sess")) {
    std::string sess(reinterpret_cast<const char*>(ha1.data()), ha1.size());
    ha1 = Md5Raw(sess + ":" + nonce + ":" + cnonce);
  }
  std::string ha1Hex = HexOf(ha1.data(), ha1.size());
  std::string a2 = method + ":" + uri;
  if (EqualsNoCase(qop, "auth-int")) a2 += ":" + Md5Hex(std::string());
  std::string ha2Hex = Md5Hex(a2);
  if (qop.empty()) return Md5Hex(ha1Hex + ":" + nonce + ":" + ha2Hex);
  return Md5Hex(ha1Hex + ":" + nonce + ":" + nc + ":" + cnonce + ":" + qop + ":" + ha2Hex);
}

bool ParseAuthParams(const std::string& t, std::vector<AuthParam>* out, std::string* why) {
  out->clear();
  size_t pos = 0;
  while (true) {
    while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
    size_t start = pos;
    while (pos < t.size() && IsTokenChar(t[pos])) ++pos;
    if (pos == start || pos >= t.size() || t[pos] != '=') {
      *why = "expected name= at offset " + std::to_string(start);
      return false;
    }
    AuthParam p;
    p.name = t.substr(start, pos - start);
    ++pos;  // '='
    if (pos < t.size() && t[pos] == '"') {
      size_t close = t.find('"', pos + 1);
      if (close == std::string::npos) {
        *why = "unterminated quoted value of " + p.name;
        return false;
      }
      p.value = t.substr(pos + 1, close - pos - 1);
      p.quoted = true;
      pos = close + 1;
      while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
    } else {
      size_t end = t.find(',', pos);
      while (end != std::string::npos && !StartsPair(t, end + 1)) end = t.find(',', end + 1);
      if (end == std::string::npos) end = t.size();
      p.value = t.substr(pos, end - pos);
      while (!p.value.empty() && (p.value.back() == ' ' || p.value.back() == '\t')) p.value.pop_back();
      pos = end;
    }
    for (const AuthParam& q : *out) {
      if (EqualsNoCase(q.name, p.name)) {
        *why = "parameter " + p.name + " given twice";
        return false;
      }
    }
    out->push_back(p);
    if (pos >= t.size()) return true;
    if (t[pos] != ',') {
      *why = "expected comma after " + p.name;
      return false;
    }
    ++pos;
    if (pos >= t.size()) {
      *why = "trailing comma";
      return false;
    }
  }
}

const AuthParam* FindParam(const std::vector<AuthParam>& params, const std::string& name) {
  for (const AuthParam& p : params)
    if (EqualsNoCase(p.name, name)) return &p;
  return nullptr;
}

std::string ChallengeLine(const DigestConfig& cfg, const std::string& nonce, bool stale) {
  std::string line = "WWW-Authenticate: Digest realm=\"" + cfg.realm + "\",nonce=\"" + nonce + "\"";
  if (cfg.algorithm == "unquoted")
    line += ",algorithm=MD5";
  else if (cfg.algorithm != "absent" && !cfg.algorithm.empty())
    line += ",algorithm=\"" + cfg.algorithm + "\"";
  if (!cfg.qop.empty()) line += ",qop=\"" + cfg.qop + "\"";
  if (!cfg.opaque.empty()) line += ",opaque=\"" + cfg.opaque + "\"";
  if (stale) line += ",stale=true";
  return line;
}

const char* AuthVerdictName(AuthVerdict v) {
  switch (v) {
    case AuthVerdict::Accepted: return "accepted";
    case AuthVerdict::Malformed: return "malformed";
    case AuthVerdict::Format: return "bad-format";
    case AuthVerdict::BadUsername: return "bad-username";
    case AuthVerdict::BadRealm: return "bad-realm";
    case AuthVerdict::StaleNonce: return "stale-nonce";
    case AuthVerdict::BadUri: return "bad-uri";
    case AuthVerdict::BadAlgorithm: return "bad-algorithm";
    case AuthVerdict::BadOpaque: return "bad-opaque";
    case AuthVerdict::BadQop: return "bad-qop";
    case AuthVerdict::BadNc: return "bad-nc";
    case AuthVerdict::MissingCnonce: return "missing-cnonce";
    case AuthVerdict::BadResponse: return "bad-response";
  }
  return "?";
}

AuthCheck CheckAuthorization(const DigestConfig& cfg, const std::string& value, const std::string& currentNonce,
                             const std::string& path, uint32_t expectedNc) {
  AuthCheck c;
  const std::string scheme = "Digest ";
  if (value.size() < scheme.size() || !EqualsNoCase(value.substr(0, scheme.size()), scheme))
    return Verdict(c, AuthVerdict::Malformed, "scheme is not Digest");
  std::string rest = value.substr(scheme.size());
  std::vector<AuthParam> params;
  std::string why;
  if (!ParseAuthParams(rest, &params, &why)) return Verdict(c, AuthVerdict::Malformed, why);

  if (const AuthParam* n = FindParam(params, "nonce")) c.nonce = n->value;

  bool qopOffered = !cfg.qop.empty();
  if (cfg.strictFormat) {
    // The exact form the tool writes: fixed order, no blanks, quoted
    // values except qop and nc.
    std::vector<std::string> order = {"username", "realm", "nonce", "uri", "algorithm", "response"};
    if (FindParam(params, "opaque")) order.push_back("opaque");
    if (FindParam(params, "qop")) {
      order.push_back("qop");
      order.push_back("nc");
      order.push_back("cnonce");
    }
    std::string names, want, canon = "Digest ";
    for (size_t i = 0; i < params.size(); ++i) {
      names += (i ? "," : "") + params[i].name;
      const AuthParam& p = params[i];
      canon += (i ? "," : "") + p.name + "=" + (p.quoted ? "\"" + p.value + "\"" : p.value);
    }
    for (size_t i = 0; i < order.size(); ++i) want += (i ? "," : "") + order[i];
    if (names != want) return Verdict(c, AuthVerdict::Format, "parameters " + names + ", expected " + want);
    for (const AuthParam& p : params) {
      bool bare = (p.name == "qop" || p.name == "nc");
      if (p.quoted == bare)
        return Verdict(c, AuthVerdict::Format, p.name + (bare ? " must stand bare" : " must be quoted"));
    }
    if (canon != value) return Verdict(c, AuthVerdict::Format, "blanks or letter case differ from the canonical form");
  }

  const AuthParam* user = FindParam(params, "username");
  if (!user || user->value != cfg.user) return Verdict(c, AuthVerdict::BadUsername, user ? user->value : "missing");
  const AuthParam* realm = FindParam(params, "realm");
  if (!realm || realm->value != cfg.realm) return Verdict(c, AuthVerdict::BadRealm, realm ? realm->value : "missing");
  if (!FindParam(params, "nonce")) return Verdict(c, AuthVerdict::StaleNonce, "nonce missing");
  if (c.nonce != currentNonce) return Verdict(c, AuthVerdict::StaleNonce, "nonce " + c.nonce + " is not current");
  c.nonceCurrent = true;

  const AuthParam* uri = FindParam(params, "uri");
  if (!uri || uri->value != path)
    return Verdict(c, AuthVerdict::BadUri, uri ? "uri " + uri->value + " differs from " + path : "uri missing");

  const AuthParam* alg = FindParam(params, "algorithm");
  std::string algValue = alg ? alg->value : std::string();
  bool sess = false;
  if (cfg.algorithm == "absent" || cfg.algorithm == "unquoted" || cfg.algorithm.empty()) {
    // The tool does not see an unquoted algorithm and sends it back
    // empty; either empty or MD5 means plain MD5.
    if (!algValue.empty() && !EqualsNoCase(algValue, "MD5"))
      return Verdict(c, AuthVerdict::BadAlgorithm, "algorithm \"" + algValue + "\" not offered");
  } else {
    if (!EqualsNoCase(algValue, cfg.algorithm))
      return Verdict(c, AuthVerdict::BadAlgorithm, "algorithm \"" + algValue + "\", offered \"" + cfg.algorithm + "\"");
    sess = EqualsNoCase(cfg.algorithm, "md5-sess");
  }

  const AuthParam* opaque = FindParam(params, "opaque");
  if (cfg.opaque.empty()) {
    if (opaque) return Verdict(c, AuthVerdict::BadOpaque, "opaque sent but none offered");
  } else if (!opaque || opaque->value != cfg.opaque) {
    return Verdict(c, AuthVerdict::BadOpaque, opaque ? "opaque " + opaque->value : "opaque missing");
  }

  const AuthParam* qop = FindParam(params, "qop");
  const AuthParam* nc = FindParam(params, "nc");
  const AuthParam* cnonce = FindParam(params, "cnonce");
  std::string qopValue, ncValue, cnonceValue;
  if (qopOffered) {
    if (!qop || qop->value != cfg.qop)
      return Verdict(c, AuthVerdict::BadQop, qop ? "qop " + qop->value + ", offered " + cfg.qop : "qop missing");
    if (!nc) return Verdict(c, AuthVerdict::BadNc, "nc missing");
    size_t want = cfg.strictFormat ? 9 : nc->value.size();
    if (nc->value.size() != want || want < 8 || want > 9 || !IsLowerHex(nc->value))
      return Verdict(c, AuthVerdict::BadNc, "nc " + nc->value + " is not nine lower-case hex digits");
    unsigned long got = std::strtoul(nc->value.c_str(), nullptr, 16);
    if (got != expectedNc) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "nc %s, expected %09x", nc->value.c_str(), expectedNc);
      return Verdict(c, AuthVerdict::BadNc, buf);
    }
    if (!cnonce || cnonce->value.empty()) return Verdict(c, AuthVerdict::MissingCnonce, "cnonce missing");
    qopValue = qop->value;
    ncValue = nc->value;
    cnonceValue = cnonce->value;
  } else if (qop || nc || cnonce) {
    return Verdict(c, AuthVerdict::BadQop, "qop, nc or cnonce sent but no qop offered");
  }

  const AuthParam* response = FindParam(params, "response");
  if (!response) return Verdict(c, AuthVerdict::BadResponse, "response missing");
  std::string expect = DigestResponse(sess ? "md5-sess" : "MD5", cfg.user, cfg.realm, cfg.password, currentNonce,
                                      ncValue, cnonceValue, qopValue, "GET", path);
  if (response->value != expect)
    return Verdict(c, AuthVerdict::BadResponse, "response " + response->value + " does not match");
  c.verdict = AuthVerdict::Accepted;
  return c;
}
