// zemupgrade-scripted: the product's WinMain with the scripted operator in
// front of its dialogs, for whole-flow tests. A test program, never shipped.
//   zemupgrade-scripted --script FILE --transcript FILE [--clock-rate N]
//                       [--clock-offset MS] [--screen WIDTHxHEIGHT]
// The transcript (tests/support/operator.h) is written when the process ends, from
// whichever thread ends it. Exit status: the product's own; 64 for bad arguments.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "port/privilege.h"
#include "port/win32.h"
#include "tests/support/hooks.h"
#include "tests/support/operator.h"
#include "tftp/tftp.h"

namespace {

constexpr int kUsageStatus = 64;

[[noreturn]] void Usage(const char* fault) {
  std::fprintf(stderr,
               "zemupgrade-scripted: %s\n"
               "usage: zemupgrade-scripted --script FILE --transcript FILE [--clock-rate N] "
               "[--clock-offset MS] [--screen WIDTHxHEIGHT]\n",
               fault);
  std::exit(kUsageStatus);
}

unsigned long Number(const char* text, unsigned long low, unsigned long high, const char* what) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (text[0] == '\0' || text[0] == '-' || *end != '\0' || value < low || value > high) Usage(what);
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  const char* script = nullptr;
  const char* transcript = nullptr;
  unsigned long rate = 1;
  unsigned long offset = 0;
  for (int i = 1; i < argc; ++i) {
    const char* option = argv[i];
    if (i + 1 >= argc) Usage("an option lacks its value");
    const char* value = argv[++i];
    if (std::strcmp(option, "--script") == 0) {
      script = value;
    } else if (std::strcmp(option, "--transcript") == 0) {
      transcript = value;
    } else if (std::strcmp(option, "--clock-rate") == 0) {
      rate = Number(value, 1, 100000, "--clock-rate takes 1 to 100000");
    } else if (std::strcmp(option, "--clock-offset") == 0) {
      offset = Number(value, 0, 0xffffffffUL, "--clock-offset takes 0 to 4294967295");
    } else if (std::strcmp(option, "--screen") == 0) {
      unsigned width = 0, height = 0;
      char tail = 0;
      if (std::sscanf(value, "%ux%u%c", &width, &height, &tail) != 2 || width == 0 || height == 0 ||
          width > 100000 || height > 100000) {
        Usage("--screen takes WIDTHxHEIGHT");
      }
      PortSetScreenSize(static_cast<int>(width), static_cast<int>(height));
    } else {
      Usage("unknown option");
    }
  }
  if (script == nullptr || transcript == nullptr) Usage("--script and --transcript are needed");

  OperatorReset();
  std::string error;
  if (!OperatorLoadScriptFile(script, &error)) {
    std::fprintf(stderr, "zemupgrade-scripted: %s\n", error.c_str());
    return kUsageStatus;
  }
  PortSetClock(static_cast<std::uint32_t>(offset), static_cast<unsigned>(rate));
  OperatorTranscriptAtExit(transcript);
  // The shipped program's start-up check, so that a run without the right ends as it would.
  PortRequireUdpBindRight(kFirstTftpPort, kTftpPortCount);
  ExitProcess(static_cast<UINT>(WinMain(PortModuleHandle(), nullptr, const_cast<LPSTR>(""), SW_SHOWNORMAL)));
}
