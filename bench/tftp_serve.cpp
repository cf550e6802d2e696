// The benchmark's server: zemupgrade's own start-up, then its TFTP listener,
// session and reboot wait, as the upgrade runs them, serving the image in the
// named file. Built natively and for Windows (run under Wine).
//   tftp_serve IMAGE-FILE NAME
// Prints the listener's port, then runs until the reboot wait ends (its
// verification finds no adapter) or the benchmark stops it.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/text.h"
#include "tftp/tftp.h"
#include "upgrade/upgrade.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tftp_serve IMAGE-FILE NAME\n");
    return 2;
  }
  static std::vector<unsigned char> image;
  std::FILE* f = std::fopen(argv[1], "rb");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 2;
  }
  unsigned char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) image.insert(image.end(), chunk, chunk + n);
  std::fclose(f);

  ModuleInstance = GetModuleHandleA(nullptr);
  InitializeUpgrade();  // sockets and common controls; the embedded image gives way to the file's
  FirmwareImage.bytes = image.data();
  FirmwareImage.size = static_cast<std::uint32_t>(image.size());
  CopyText(TftpFileName, argv[2]);
  CopyText(DeviceAddressText, "127.0.0.1");
  MarkUpgradeCommandReturned();  // no upgrade command in this run
  std::uint16_t port = StartTftpListener(0x7f000001u);
  std::printf("%u\n", static_cast<unsigned>(port));
  std::fflush(stdout);
  for (;;) Sleep(kIdlePauseMs);
}
