// The firmware image's resource: its type name and numeric identifier, the one
// place they are written. The resource compiler reads this file too (from
// zemupgrade.rc), so the values are plain macros; C++ code uses the constants.
#pragma once

#define ZEM_FIRMWARE_RESOURCE_TYPE ZEM_FIRMWARE
#define ZEM_FIRMWARE_RESOURCE_ID 112

#ifndef RC_INVOKED
#define ZEM_RESOURCE_TEXT_OF(x) #x
#define ZEM_RESOURCE_TEXT(x) ZEM_RESOURCE_TEXT_OF(x)
// "ZEM_FIRMWARE 112", for messages about the resource.
#define ZEM_FIRMWARE_RESOURCE_NAME \
  ZEM_RESOURCE_TEXT(ZEM_FIRMWARE_RESOURCE_TYPE) " " ZEM_RESOURCE_TEXT(ZEM_FIRMWARE_RESOURCE_ID)

inline constexpr int kFirmwareResourceId = ZEM_FIRMWARE_RESOURCE_ID;
inline constexpr const char kFirmwareResourceType[] = ZEM_RESOURCE_TEXT(ZEM_FIRMWARE_RESOURCE_TYPE);
#endif
