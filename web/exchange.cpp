// One HTTP/1.1 GET against the adapter's web server. The adapter answers one
// request per connection and closes it after the response, so the response is
// simply everything received until the close. Request and response share the
// caller's buffer: the request is built at its start, sent, then overwritten.
#include <cstdio>
#include <cstring>

#include "common/report.h"
#include "common/sockaddr.h"
#include "common/text.h"
#include "common/trace.h"
#include "web/web.h"

namespace {

// HTTP/1.1 requires a Host line. Every request names the same private
// address literal, never the adapter's own.
constexpr char kHostLine[] = "Host: 192.168.1.1\r\n";

// Local ports tried after the first one before binding counts as failed.
constexpr int kMoreBindAttempts = 100;

constexpr char kStatusPrefix[] = "HTTP/1.1";
constexpr std::size_t kStatusPrefixLength = sizeof kStatusPrefix - 1;
constexpr char kChallengeHeader[] = "WWW-Authenticate:";

struct DeviceField {
  const char* label;
  char* field;
};

}  // namespace

int ClassifyResponse(const char* text, AuthStateRecord* state) {
  if (std::strncmp(text, kStatusPrefix, kStatusPrefixLength) != 0) return -1;
  // The character after the version is passed over whatever it is (normally
  // the blank); the status may follow after further blanks and tabs.
  const char* position = text + kStatusPrefixLength;
  if (*position == '\0') return -2;
  ++position;
  while (*position == ' ' || *position == '\t') ++position;
  if (*position == '\0') return -2;
  if (std::strncmp(position, "200", 3) == 0) return 0;
  if (std::strncmp(position, "401", 3) != 0) return 2;
  // The challenge header is looked for anywhere after the status, case
  // sensitively; one that stands only in the page body counts as well.
  const char* challenge = std::strstr(position, kChallengeHeader);
  if (challenge == nullptr) return 2;
  return ParseDigestChallenge(challenge, state) == 0 ? 1 : 2;
}

SOCKET ConnectToDevice(std::uint32_t localAddress, std::uint16_t localPort, std::uint32_t deviceAddress,
                       std::uint16_t devicePort) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) FatalFailure("Upgrade Failed: Can't open HTTP socket");

  // Requests come from a fixed range of local ports. A port still held, by
  // another program or by an earlier connection in TIME_WAIT, is passed over
  // for the next one, with the same socket.
  sockaddr_in address;
  std::uint16_t port = localPort;
  for (int attempts = 0;;) {
    FillSocketAddress(localAddress, port, &address);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), kSocketAddressLength) == 0) break;
    if (++attempts > kMoreBindAttempts) FatalFailure("Upgrade Failed: Can't bind HTTP socket");
    ++port;
  }

  FillSocketAddress(deviceAddress, devicePort, &address);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), kSocketAddressLength) != 0) {
    FatalFailure("Upgrade Failed: Can't connect to ZEM");
  }
  return s;
}

int HttpExchange(std::uint32_t localAddress, std::uint16_t localPort, std::uint32_t deviceAddress,
                 std::uint16_t devicePort, const char* path, char* buffer, int limit) {
  if (limit < 0) limit = 0;
  SOCKET s = ConnectToDevice(localAddress, localPort, deviceAddress, devicePort);

  // The buffer holds limit bytes and the zero after them. The system's paths
  // are at most 127 characters and its limit 131071, so nothing below is ever
  // cut; with a smaller buffer the request would be cut, never overrun.
  const std::size_t capacity = static_cast<std::size_t>(limit) + 1;
  std::size_t length = AppendFormat(buffer, capacity, 0, "GET %s HTTP/1.1\r\n", path);
  length = AppendFormat(buffer, capacity, length, "%s", kHostLine);
  if (AuthState.password[0] != '\0') {
    // The count goes up before the line is built: the first request under a
    // new nonce carries nc 1.
    ++AuthState.nonceCount;
    char line[kAuthorizationLineMax + 1];
    BuildAuthorizationHeader(&AuthState, path, line);
    length = AppendFormat(buffer, capacity, length, "%s", line);
  }
  length = AppendFormat(buffer, capacity, length, "\r\n");
  TraceText(buffer, 0);

  // One send; a short or failed send shows up as a missing or odd answer.
  send(s, buffer, static_cast<int>(length), 0);

  int received = 0;
  buffer[0] = '\0';
  while (received < limit) {
    int n = static_cast<int>(recv(s, buffer + received, limit - received, 0));
    if (n <= 0) break;  // closed by the adapter, or an error: what came so far is the answer
    received += n;
    buffer[received] = '\0';
  }
  TraceText("recv done\n", 0);
  TraceText(buffer, static_cast<std::size_t>(received));
  TraceText("\n", 0);

  if (ClassifyResponse(buffer, &AuthState) == 1) {
    closesocket(s);
    return -1;
  }
  // Every answer but a challenge feeds the fields, whatever its status.
  if (received > 0) {
    const DeviceField fields[] = {
        {"Product Name:", DeviceInfo.ProductName},   {"MAC Address:", DeviceInfo.MacAddress},
        {"Software Version:", DeviceInfo.SoftwareVersion}, {"Hardware Version:", DeviceInfo.HardwareVersion},
        {"Serial Number:", DeviceInfo.SerialNumber},
    };
    for (const DeviceField& f : fields) ExtractField(buffer, f.label, f.field, kDeviceFieldMax);
  }
  closesocket(s);
  return received;
}
