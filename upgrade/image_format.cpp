// Identification and checks of a firmware image header.
#include "upgrade/image_format.h"

#include <cstring>

#include "common/text.h"

namespace {

// Seven characters at most, letter case folded; a zero byte in the header is a mismatch.
bool TagMatches(const unsigned char* header, const char* tag) {
  for (std::size_t i = 0; i < kModelTagLength; ++i) {
    char c = static_cast<char>(header[i]);
    if (c == '\0' || FoldCase(c) != FoldCase(tag[i])) return false;
  }
  return true;
}

}  // namespace

const char* LookUpProductName(const unsigned char* header) {
  for (const ProductRow& row : ProductTable) {
    if (TagMatches(header, row.modelTag)) return row.displayName;
  }
  return kUnknownProductName;
}

const char* FirmwareImageFault(const unsigned char* bytes, std::uint32_t size) {
  if (bytes == nullptr) return "the image is missing";
  if (size < kImageHeaderSize) return "the image is shorter than 128 bytes";
  if (size >= kImageSizeLimit) {
    return "the image is 65535 * 512 bytes or longer; 16-bit TFTP block numbers cannot carry it";
  }
  if (std::memchr(bytes + kVersionOffset, 0, kImageHeaderSize - kVersionOffset) == nullptr) {
    return "the version text at offset 92 has no zero byte before offset 128";
  }
  return nullptr;
}
