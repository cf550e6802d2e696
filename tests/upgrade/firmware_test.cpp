#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "resources/firmware_resource.h"
#include "upgrade/upgrade.h"

namespace {

std::vector<unsigned char> Header(const std::string& start) {
  std::vector<unsigned char> header(kImageHeaderSize, 'x');
  std::memcpy(header.data(), start.data(), start.size());
  header[kVersionOffset] = 0;
  return header;
}

TEST(ProductTableTest, ChoosesTheDisplayNameFromTheFirstSevenCharacters) {
  struct Case {
    std::string start;
    const char* expected;
  };
  const Case cases[] = {
      {"zem5300", "ZEM-5300"},
      {"zem4200", "ZEM-4100/4200"},
      {"zem4600", "ZEM-4600"},
      {"zem4202", "ZEM-4202"},
      {"zem3101", "ZEM-3101"},
      {"ZEM4200", "ZEM-4100/4200"},          // letter case is ignored
      {"zEm3101", "ZEM-3101"},
      {"zem4200-rev-b", "ZEM-4100/4200"},    // only seven characters count
      {"zem420x", "ODM-Product"},            // six agree, the seventh ends neither 4200 nor 4202
      {"zem4201", "ODM-Product"},
      {std::string("zem\0" "200", 7), "ODM-Product"},  // a zero byte among the seven
      {std::string("zem420\0", 7), "ODM-Product"},
      {"abcdefg", "ODM-Product"},
      {"", "ODM-Product"},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> header = Header(c.start);
    if (c.start.empty()) header[0] = 0;
    EXPECT_STREQ(c.expected, LookUpProductName(header.data())) << "header starting \"" << c.start << "\"";
  }
}

TEST(FirmwareImageFaultTest, RefusesWhatCannotBeServed) {
  std::vector<unsigned char> image(1000, 'a');
  image[kVersionOffset + 5] = 0;
  EXPECT_EQ(nullptr, FirmwareImageFault(image.data(), 1000));
  EXPECT_EQ(nullptr, FirmwareImageFault(image.data(), 128));
  EXPECT_NE(nullptr, FirmwareImageFault(nullptr, 1000));
  EXPECT_NE(nullptr, FirmwareImageFault(image.data(), 127));
  EXPECT_EQ(nullptr, FirmwareImageFault(image.data(), kImageSizeLimit - 1));
  EXPECT_NE(nullptr, FirmwareImageFault(image.data(), kImageSizeLimit));
  image[kVersionOffset + 5] = 'v';
  image[kImageHeaderSize] = 0;  // a zero byte just past the header does not count
  EXPECT_NE(nullptr, FirmwareImageFault(image.data(), 1000));
  image[kImageHeaderSize - 1] = 0;
  EXPECT_EQ(nullptr, FirmwareImageFault(image.data(), 1000));
}

// The one check of the image's size: an image that 16-bit TFTP block numbers
// cannot carry never becomes the FirmwareImage, so the transfer server never
// meets one (it relies on that and checks no more).
TEST(UseFirmwareImageTest, AnImageOf65535BlocksOrMoreNeverBecomesTheFirmwareImage) {
  std::vector<unsigned char> header = Header("zem4200");  // only the header is ever read
  const FirmwareImageRecord before = FirmwareImage;
  for (std::uint32_t size : {kImageSizeLimit, kImageSizeLimit + 1, 0xffffffffu}) {
    const char* fault = UseFirmwareImage(header.data(), size);
    ASSERT_NE(nullptr, fault) << size << " bytes";
    EXPECT_NE(nullptr, std::strstr(fault, "65535 * 512")) << fault;
    EXPECT_EQ(before.bytes, FirmwareImage.bytes) << size << " bytes";
    EXPECT_EQ(before.size, FirmwareImage.size) << size << " bytes";
  }
  // One byte less is the largest image that can be served: 65535 blocks, the last one short.
  ASSERT_EQ(nullptr, UseFirmwareImage(header.data(), kImageSizeLimit - 1));
  EXPECT_EQ(kImageSizeLimit - 1, FirmwareImage.size);
  EXPECT_EQ(65535u, FirmwareImage.size / 512 + 1);
  FirmwareImage = before;
}

TEST(LoadFirmwareImageTest, FindsTheEmbeddedImage) {
  LoadFirmwareImage();
  std::FILE* file = std::fopen(ZEM_TEST_IMAGE, "rb");
  ASSERT_NE(nullptr, file) << ZEM_TEST_IMAGE;
  std::vector<unsigned char> expected;
  unsigned char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) expected.insert(expected.end(), chunk, chunk + n);
  std::fclose(file);

  ASSERT_EQ(expected.size(), FirmwareImage.size);
  EXPECT_EQ(0, std::memcmp(expected.data(), FirmwareImage.bytes, expected.size()));
  EXPECT_EQ(0, std::memcmp(expected.data(), FirmwareImage.header, kImageHeaderSize));
  EXPECT_STREQ(LookUpProductName(expected.data()), FirmwareImage.ProductDisplayName);
  EXPECT_STREQ(reinterpret_cast<const char*>(expected.data() + kVersionOffset), FirmwareVersion());
  EXPECT_EQ(0, std::strncmp(reinterpret_cast<const char*>(expected.data()), ModelTag(), kModelTagLength));
}

TEST(LoadFirmwareImageTest, TheProgramsOwnModuleHandleReachesItsResources) {
  HMODULE self = GetModuleHandleA(nullptr);
  ASSERT_NE(nullptr, self);
  HRSRC resource = FindResourceA(self, MAKEINTRESOURCEA(kFirmwareResourceId), kFirmwareResourceType);
  ASSERT_NE(nullptr, resource);
  LoadFirmwareImage();
  EXPECT_EQ(FirmwareImage.size, SizeofResource(self, resource));
  EXPECT_EQ(nullptr, GetModuleHandleA("no-such-module.dll"));
}

}  // namespace
