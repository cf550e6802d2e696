// The embedded firmware image and the names derived from its header.
#include <cstring>

#include "common/report.h"
#include "common/text.h"
#include "resources/firmware_resource.h"
#include "upgrade/upgrade.h"

FirmwareImageRecord FirmwareImage;

void LoadFirmwareImage() {
  HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(kFirmwareResourceId), kFirmwareResourceType);
  if (resource == nullptr) {
    FatalFailure("Upgrade Failed: this program carries no firmware image (resource " ZEM_FIRMWARE_RESOURCE_NAME
                 " is missing)");
  }
  std::uint32_t size = SizeofResource(nullptr, resource);
  HGLOBAL loaded = LoadResource(nullptr, resource);
  const unsigned char* bytes =
      loaded != nullptr ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
  if (const char* fault = UseFirmwareImage(bytes, size)) {
    char message[256];
    std::snprintf(message, sizeof message, "Upgrade Failed: the embedded firmware image is damaged: %s", fault);
    FatalFailure(message);
  }
}

const char* UseFirmwareImage(const unsigned char* bytes, std::uint32_t size) {
  if (const char* fault = FirmwareImageFault(bytes, size)) return fault;
  FirmwareImage.bytes = bytes;
  FirmwareImage.size = size;
  std::memcpy(FirmwareImage.header, bytes, kImageHeaderSize);
  CopyText(FirmwareImage.ProductDisplayName, LookUpProductName(FirmwareImage.header));
  return nullptr;
}
