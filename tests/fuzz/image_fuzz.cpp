// The image checks of start-up (and of the build): UseFirmwareImage, the last
// step of LoadFirmwareImage, on any image.
//
// Input: the image, in a heap block of exactly its size, so that a read past
// its end is caught.
//
// Properties: the image is refused exactly when it is shorter than the header
// or its version text has no zero byte at offsets 92 to 127, and a refused
// image leaves the record as it was. An accepted one becomes the record: its
// bytes and size, a header copy equal to its first 128 bytes, a version text
// that ends within the header, and the display name that the product table
// gives its first seven characters (letter case aside), ended within its 32
// bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/check.h"
#include "upgrade/upgrade.h"

namespace {

char Lower(unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); }

// The product table read plainly: the first row whose seven characters equal
// the header's, letter case aside; a zero byte matches nothing.
std::string DisplayNameFor(const unsigned char* header) {
  const char* const rows[][2] = {{"zem5300", "ZEM-5300"}, {"zem4200", "ZEM-4100/4200"}, {"zem4600", "ZEM-4600"},
                                 {"zem4202", "ZEM-4202"}, {"zem3101", "ZEM-3101"}};
  for (const auto& row : rows) {
    bool same = true;
    for (int i = 0; i < 7 && same; ++i) same = header[i] != 0 && Lower(header[i]) == row[0][i];
    if (same) return row[1];
  }
  return "ODM-Product";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<unsigned char> image(data, data + size);
  const unsigned char* bytes = image.empty() ? data : image.data();  // never null, even when empty
  const std::uint32_t length = static_cast<std::uint32_t>(size);
  const FirmwareImageRecord before = FirmwareImage;

  const char* fault = UseFirmwareImage(bytes, length);
  bool usable = size >= 128 && std::memchr(bytes + 92, 0, 36) != nullptr;
  fuzz::Check((fault == nullptr) == usable, "%zu bytes: %s", size, fault != nullptr ? fault : "accepted");
  if (!usable) {
    fuzz::Check(std::memcmp(&before, &FirmwareImage, sizeof before) == 0, "a refused image changed the record");
    return 0;
  }

  fuzz::Check(FirmwareImage.bytes == bytes && FirmwareImage.size == length, "bytes or size not the image's");
  fuzz::Check(std::memcmp(FirmwareImage.header, bytes, 128) == 0, "the header copy differs from the image");
  fuzz::Check(fuzz::TerminatedWithin(FirmwareVersion(), 128 - 92), "the version text runs past the header");
  fuzz::Check(std::strcmp(FirmwareVersion(), reinterpret_cast<const char*>(bytes + 92)) == 0,
              "the version text is not the image's");
  fuzz::Check(fuzz::TerminatedWithin(FirmwareImage.ProductDisplayName, sizeof FirmwareImage.ProductDisplayName),
              "the display name runs past its field");
  std::string name = DisplayNameFor(bytes);
  fuzz::Check(name == FirmwareImage.ProductDisplayName, "display name \"%s\", the table gives \"%s\"",
              FirmwareImage.ProductDisplayName, name.c_str());

  FirmwareImage = before;  // the image's block goes away with this run
  return 0;
}
