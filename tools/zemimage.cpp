// Build-time helper for the firmware image to embed.
//   zemimage sample OUT       writes the deterministic sample image
//   zemimage check IMAGE      stops the build with a message when IMAGE cannot be embedded
#include <cstdio>
#include <cstring>
#include <vector>

#include "upgrade/image_format.h"

namespace {

constexpr std::uint32_t kSampleSize = 748972;
constexpr char kSampleTag[] = "zem4200";
constexpr char kSampleVersion[] = "2.0.0-sample";

int WriteSample(const char* path) {
  std::vector<unsigned char> image(kSampleSize);
  // A fixed linear congruential sequence: the same bytes on every build.
  std::uint32_t state = 0x2E4D5A31u;
  for (unsigned char& byte : image) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<unsigned char>(state >> 24);
  }
  std::memcpy(image.data(), kSampleTag, kModelTagLength);
  std::memset(image.data() + kVersionOffset, 0, kImageHeaderSize - kVersionOffset);
  std::memcpy(image.data() + kVersionOffset, kSampleVersion, sizeof kSampleVersion);
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "zemimage: cannot write %s\n", path);
    return 1;
  }
  bool ok = std::fwrite(image.data(), 1, image.size(), out) == image.size();
  ok = std::fclose(out) == 0 && ok;
  if (!ok) std::fprintf(stderr, "zemimage: cannot write %s\n", path);
  return ok ? 0 : 1;
}

int CheckImage(const char* path) {
  std::FILE* in = std::fopen(path, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "ZEM_FIRMWARE_IMAGE %s: the file is missing or cannot be read\n", path);
    return 1;
  }
  std::vector<unsigned char> image;
  unsigned char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
    image.insert(image.end(), chunk, chunk + n);
    if (image.size() > kImageSizeLimit) break;  // too long already; no need to read on
  }
  std::fclose(in);
  std::uint32_t size = static_cast<std::uint32_t>(image.size());
  // An empty file is there but short; its vector may hold no storage at all,
  // which the check would take for a missing image.
  const unsigned char* bytes = image.empty() ? chunk : image.data();
  if (const char* fault = FirmwareImageFault(bytes, size)) {
    std::fprintf(stderr, "ZEM_FIRMWARE_IMAGE %s: %s (%s%u bytes read)\n", path, fault,
                 image.size() > kImageSizeLimit ? "at least " : "", static_cast<unsigned>(size));
    return 1;
  }
  char version[kImageHeaderSize - kVersionOffset];
  std::memcpy(version, image.data() + kVersionOffset, sizeof version);
  std::printf("firmware image %s: %u bytes, model %s, version %s\n", path, static_cast<unsigned>(size),
              LookUpProductName(image.data()), version);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "sample") == 0) return WriteSample(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "check") == 0) return CheckImage(argv[2]);
  std::fprintf(stderr, "usage: zemimage sample OUT | zemimage check IMAGE\n");
  return 2;
}
