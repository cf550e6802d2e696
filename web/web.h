// The device web client: one HTTP exchange, status-page fields, the request runner.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/platform.h"
#include "digest/digest.h"

inline constexpr std::size_t kDeviceFieldSize = 128;  // at most 127 characters
inline constexpr int kDeviceFieldMax = 127;

struct DeviceInfoRecord {
  char ProductName[kDeviceFieldSize];
  char MacAddress[kDeviceFieldSize];
  char SoftwareVersion[kDeviceFieldSize];
  char HardwareVersion[kDeviceFieldSize];
  char SerialNumber[kDeviceFieldSize];
};
extern DeviceInfoRecord DeviceInfo;

// The value after the first '>' (and any run of tags) that follows the label.
// Returns true when it wrote the field.
bool ExtractField(const char* text, const char* label, char* field, int max);

// -1 not HTTP/1.1; -2 no status code; 0 status 200; 1 a usable digest
// challenge (AuthState filled); 2 anything else.
int ClassifyResponse(const char* text, AuthStateRecord* state);

// A TCP socket bound to the first free port from localPort (101 tried) and
// connected to the device. Fatal failure otherwise.
SOCKET ConnectToDevice(std::uint32_t localAddress, std::uint16_t localPort,
                       std::uint32_t deviceAddress, std::uint16_t devicePort);

// One GET. -1: the device demands authentication; otherwise the byte count.
int HttpExchange(std::uint32_t localAddress, std::uint16_t localPort, std::uint32_t deviceAddress,
                 std::uint16_t devicePort, const char* path, char* buffer, int limit);

// ---- request runner -------------------------------------------------------------
struct RequestParams {
  std::uint32_t localAddress;
  std::uint16_t localPort;
  std::uint32_t deviceAddress;
  std::uint16_t devicePort;
  const char* path;
  char* buffer;
  int limit;
};

DWORD WINAPI RequestWorker(LPVOID params);

// Runs the exchange on a worker thread behind the "Connecting" dialog, with the
// authentication retry. Returns the byte count (0 or more); Cancel and fatal
// failures end the process inside.
int RunDeviceRequest(HINSTANCE instance, std::uint32_t localAddress, std::uint16_t localPort,
                     std::uint32_t deviceAddress, std::uint16_t devicePort, const char* path,
                     char* buffer, int limit);
