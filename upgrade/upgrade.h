// The wizard's process-wide state, the firmware image and the upgrade sequence.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/platform.h"

// ---- constants of the sequence --------------------------------------------
inline constexpr int kLocalAddressCapacity = 8;
inline constexpr int kHostNameLength = 127;
inline constexpr std::uint16_t kFirstLocalHttpPort = 23456;
inline constexpr std::uint16_t kDeviceHttpPort = 80;
inline constexpr const char kStatusPagePath[] = "/admin/advanced";
inline constexpr const char kUpgradePathFormat[] = "/admin/upgrade?tftp://%u.%u.%u.%u:%u%s";
inline constexpr std::size_t kResponseBufferSize = 131072;
inline constexpr int kResponseLimit = 131071;  // the zero byte after a full answer still fits
inline constexpr std::size_t kDeviceAddressTextSize = 63;  // at most 62 characters
inline constexpr std::size_t kTftpFileNameSize = 16;       // "/zem7fff.bin" and room to spare
inline constexpr std::size_t kUpgradePathSize = 128;
inline constexpr int kIdlePauseMs = 10;

#include "upgrade/image_format.h"

// ---- the firmware image ---------------------------------------------------
struct FirmwareImageRecord {
  const unsigned char* bytes;          // the whole image, valid for the life of the process
  std::uint32_t size;                  // as the resource reports it
  unsigned char header[kImageHeaderSize];  // a copy of the first 128 bytes
  char ProductDisplayName[kProductNameSize];
};
extern FirmwareImageRecord FirmwareImage;

// The model tag and the version text, read in place in the header copy.
inline const char* ModelTag() { return reinterpret_cast<const char*>(FirmwareImage.header); }
inline const char* FirmwareVersion() {
  return reinterpret_cast<const char*>(FirmwareImage.header + kVersionOffset);
}

// Locates, loads and identifies the embedded image. A missing or damaged image
// (which the build prevents) is a fatal failure.
void LoadFirmwareImage();
// Its last step: checks the image and, when it is usable, makes it the
// FirmwareImage (bytes, size, header copy, display name). Otherwise returns
// what is wrong with it (FirmwareImageFault) and leaves the record alone.
const char* UseFirmwareImage(const unsigned char* bytes, std::uint32_t size);

// ---- process-wide state of the wizard ----------------------------------------
extern HINSTANCE ModuleInstance;
extern std::uint32_t LocalAddressList[kLocalAddressCapacity];  // host order, 0 ends the list
extern std::uint32_t ChosenLocalAddress;
extern std::uint32_t DeviceAddress;
extern char DeviceAddressText[kDeviceAddressTextSize];
extern char TftpFileName[kTftpFileNameSize];
extern char UpgradePath[kUpgradePathSize];
extern char ResponseBuffer[kResponseBufferSize];
extern char HostName[kHostNameLength + 1];

// Set when the upgrade command's request has returned, so that the listener
// thread does not start the verification while that exchange still runs.
bool UpgradeCommandReturned();
void MarkUpgradeCommandReturned();

// ---- start-up and the sequence ----------------------------------------------
void InitializeUpgrade();
int UpgradeMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState);
