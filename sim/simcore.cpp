#include "simcore.hpp"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zemsim {

// ------------------------------------------------------------------ hashes

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

static std::vector<unsigned char> EvpDigest(const EVP_MD* md, const void* data, size_t n) {
    std::vector<unsigned char> out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr || EVP_DigestInit_ex(ctx, md, nullptr) != 1 ||
        EVP_DigestUpdate(ctx, data, n) != 1 || EVP_DigestFinal_ex(ctx, out.data(), &len) != 1) {
        EVP_MD_CTX_free(ctx);
        std::fprintf(stderr, "zem-sim: libcrypto digest failed\n");
        std::abort();
    }
    EVP_MD_CTX_free(ctx);
    out.resize(len);
    return out;
}

std::vector<unsigned char> Md5Raw(const std::string& data) {
    return EvpDigest(EVP_md5(), data.data(), data.size());
}

std::string Md5Hex(const std::string& data) {
    std::vector<unsigned char> d = Md5Raw(data);
    return HexOf(d.data(), d.size());
}

std::string Sha256Hex(const std::vector<unsigned char>& data) {
    std::vector<unsigned char> d = EvpDigest(EVP_sha256(), data.data(), data.size());
    return HexOf(d.data(), d.size());
}

static char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// ------------------------------------------------------------------ digest

std::string DigestResponse(const std::string& algorithm, const std::string& user,
                           const std::string& realm, const std::string& password,
                           const std::string& nonce, const std::string& nc,
                           const std::string& cnonce, const std::string& qop,
                           const std::string& method, const std::string& uri) {
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

static bool IsTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_';
}

// Does the segment starting at pos (up to the next comma) look like name=...?
static bool StartsPair(const std::string& t, size_t pos) {
    while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t')) ++pos;
    size_t start = pos;
    while (pos < t.size() && IsTokenChar(t[pos])) ++pos;
    return pos > start && pos < t.size() && t[pos] == '=';
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
            while (!p.value.empty() && (p.value.back() == ' ' || p.value.back() == '\t'))
                p.value.pop_back();
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

static bool IsLowerHex(const std::string& s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return !s.empty();
}

static AuthCheck Verdict(AuthCheck c, AuthVerdict v, const std::string& detail) {
    c.verdict = v;
    c.detail = detail;
    return c;
}

AuthCheck CheckAuthorization(const DigestConfig& cfg, const std::string& value,
                             const std::string& currentNonce, const std::string& path,
                             uint32_t expectedNc) {
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
        if (names != want)
            return Verdict(c, AuthVerdict::Format, "parameters " + names + ", expected " + want);
        for (const AuthParam& p : params) {
            bool bare = (p.name == "qop" || p.name == "nc");
            if (p.quoted == bare)
                return Verdict(c, AuthVerdict::Format,
                               p.name + (bare ? " must stand bare" : " must be quoted"));
        }
        if (canon != value)
            return Verdict(c, AuthVerdict::Format, "blanks or letter case differ from the canonical form");
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
            return Verdict(c, AuthVerdict::BadAlgorithm,
                           "algorithm \"" + algValue + "\", offered \"" + cfg.algorithm + "\"");
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
    std::string expect = DigestResponse(sess ? "md5-sess" : "MD5", cfg.user, cfg.realm, cfg.password,
                                        currentNonce, ncValue, cnonceValue, qopValue, "GET", path);
    if (response->value != expect)
        return Verdict(c, AuthVerdict::BadResponse, "response " + response->value + " does not match");
    c.verdict = AuthVerdict::Accepted;
    return c;
}

// ------------------------------------------------------------------ http

static std::vector<std::string> SplitLines(const std::string& head) {
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

bool ParseUpgradeTarget(const std::string& path, uint32_t* addr, uint16_t* port, std::string* file,
                        std::string* why) {
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

// ------------------------------------------------------------------ tftp

static void Put16(std::vector<unsigned char>* v, uint16_t x) {
    v->push_back(static_cast<unsigned char>(x >> 8));
    v->push_back(static_cast<unsigned char>(x & 255));
}

static void PutZ(std::vector<unsigned char>* v, const std::string& s) {
    v->insert(v->end(), s.begin(), s.end());
    v->push_back(0);
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

// ------------------------------------------------------------------ misc

bool ParseTargets(const std::string& text, unsigned* mask) {
    unsigned m = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t e = text.find(',', pos);
        if (e == std::string::npos) e = text.size();
        std::string w = text.substr(pos, e - pos);
        if (w == "status") m |= kTargetStatus;
        else if (w == "upgrade") m |= kTargetUpgrade;
        else if (w == "verify") m |= kTargetVerify;
        else if (w == "all") m |= kTargetStatus | kTargetUpgrade | kTargetVerify;
        else return false;
        pos = e + 1;
    }
    *mask = m;
    return m != 0;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
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

}  // namespace zemsim
