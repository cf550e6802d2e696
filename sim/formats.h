// What zem-sim reads and writes, without the network: HTTP request heads, the
// upgrade command's target, dotted quads, TFTP packets, the fault targets, JSON
// texts and the version text of an image header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---- http -------------------------------------------------------------------
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
bool ParseUpgradeTarget(const std::string& path, uint32_t* addr, uint16_t* port, std::string* file, std::string* why);

std::string DottedQuad(uint32_t hostOrder);
bool ParseDottedQuad(const std::string& text, uint32_t* hostOrder);

// ---- tftp -------------------------------------------------------------------
enum : uint16_t { kRrq = 1, kWrq = 2, kData = 3, kAck = 4, kError = 5, kOack = 6 };

std::vector<unsigned char> BuildRrq(const std::string& file);
std::vector<unsigned char> BuildAck(uint16_t block);
std::vector<unsigned char> BuildError(uint16_t code, const std::string& msg);

// Checks an OACK: exactly "tsize" with a decimal size (no sign, no leading
// zeros) and "timeout" with "5", in that order, each ended by a zero byte.
bool ParseOack(const unsigned char* p, size_t n, uint64_t* tsize, std::string* why);

// ---- misc -------------------------------------------------------------------
// Fault target selection: which HTTP answers a fault applies to.
enum Target : unsigned { kTargetStatus = 1, kTargetUpgrade = 2, kTargetVerify = 4 };
bool ParseTargets(const std::string& text, unsigned* mask);

std::string JsonString(const std::string& s);

// The firmware version text of an image header (offset 92, zero-ended
// within the first 128 bytes); empty when the image has no such text.
std::string ImageVersion(const std::vector<unsigned char>& image);
