// zem-sim core: the pieces of the simulated adapter that do not touch the
// network, kept in a library of their own so that the unit tests can reach
// them.  Nothing here is shared with the upgrade tool's own protocol code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zemsim {

// ---------------------------------------------------------------- hashes
std::string HexOf(const unsigned char* bytes, size_t n);
// Raw 16-byte MD5 of the bytes.
std::vector<unsigned char> Md5Raw(const std::string& data);
std::string Md5Hex(const std::string& data);
std::string Sha256Hex(const std::vector<unsigned char>& data);

bool EqualsNoCase(const std::string& a, const std::string& b);

// ---------------------------------------------------------------- digest
// The request digest of RFC 2617 for a GET with an empty body.
// algorithm "md5-sess" (any case) hashes the raw 16 bytes of the first
// H(A1) with nonce and cnonce; qop "auth-int" (any case) adds the hash of
// the empty body to H(A2); an empty qop gives the RFC 2069 form.
std::string DigestResponse(const std::string& algorithm, const std::string& user,
                           const std::string& realm, const std::string& password,
                           const std::string& nonce, const std::string& nc,
                           const std::string& cnonce, const std::string& qop,
                           const std::string& method, const std::string& uri);

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
    std::string nonce;  // the nonce the line named (empty when unparsed)
    bool nonceCurrent = false;  // the line named the current nonce
};

// Checks one Authorization header value (the text after "Authorization: ")
// against the current nonce, the request path and the nonce count the
// adapter expects next under that nonce.  The caller counts requests per
// nonce; see nonceCurrent.
AuthCheck CheckAuthorization(const DigestConfig& cfg, const std::string& value,
                             const std::string& currentNonce, const std::string& path,
                             uint32_t expectedNc);

// ---------------------------------------------------------------- http
struct RequestHead {
    std::string method;
    std::string path;
    std::string version;
    std::string host;
    std::string authorization;  // value after "Authorization: ", or empty
    bool hasAuthorization = false;
    std::vector<std::string> otherHeaders;
    std::string formatProblem;  // empty when the head has exactly the expected form
};

// Parses a request head that ends with the empty line (CR LF CR LF
// included).  Returns false when the request line is unusable.
bool ParseRequestHead(const std::string& head, RequestHead* out);

// "/admin/upgrade?tftp://A.B.C.D:P/NAME": the server address (host order),
// port and the file name, slash included.
bool ParseUpgradeTarget(const std::string& path, uint32_t* addr, uint16_t* port,
                        std::string* file, std::string* why);

std::string DottedQuad(uint32_t hostOrder);
bool ParseDottedQuad(const std::string& text, uint32_t* hostOrder);

// ---------------------------------------------------------------- tftp
enum : uint16_t { kRrq = 1, kWrq = 2, kData = 3, kAck = 4, kError = 5, kOack = 6 };

std::vector<unsigned char> BuildRrq(const std::string& file);
std::vector<unsigned char> BuildAck(uint16_t block);
std::vector<unsigned char> BuildError(uint16_t code, const std::string& msg);

// Checks an OACK: exactly "tsize" with a decimal size (no sign, no leading
// zeros) and "timeout" with "5", in that order, each ended by a zero byte.
bool ParseOack(const unsigned char* p, size_t n, uint64_t* tsize, std::string* why);

// ---------------------------------------------------------------- misc
// Fault target selection: which HTTP answers a fault applies to.
enum Target : unsigned { kTargetStatus = 1, kTargetUpgrade = 2, kTargetVerify = 4 };
bool ParseTargets(const std::string& text, unsigned* mask);

std::string JsonString(const std::string& s);

// The firmware version text of an image header (offset 92, zero-ended
// within the first 128 bytes); empty when the image has no such text.
std::string ImageVersion(const std::vector<unsigned char>& image);

}  // namespace zemsim
