// The layout of a firmware image as this program reads it, and the checks an
// image must pass (at build time and again at start-up). No platform needed.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kImageHeaderSize = 128;
inline constexpr std::size_t kModelTagLength = 7;
inline constexpr std::size_t kVersionOffset = 92;
inline constexpr std::size_t kProductNameSize = 32;  // at most 31 characters
// 16-bit block numbers that never wrap carry at most 65535 blocks of 512 bytes,
// the last one short: the image must be smaller than 65535 * 512 bytes.
inline constexpr std::uint32_t kImageSizeLimit = 65535u * 512u;

struct ProductRow {
  const char* modelTag;
  const char* displayName;
};
inline constexpr ProductRow ProductTable[] = {
    {"zem5300", "ZEM-5300"}, {"zem4200", "ZEM-4100/4200"}, {"zem4600", "ZEM-4600"},
    {"zem4202", "ZEM-4202"}, {"zem3101", "ZEM-3101"},
};
inline constexpr const char kUnknownProductName[] = "ODM-Product";

// The display name for a header whose first seven characters are the model tag.
const char* LookUpProductName(const unsigned char* header);

// What is wrong with an image of this size and header, or nullptr when it is usable.
// The same checks run at build time on the image to embed.
const char* FirmwareImageFault(const unsigned char* bytes, std::uint32_t size);

