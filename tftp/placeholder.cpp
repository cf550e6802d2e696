// Placeholder until the transfer server lands.
#include <cstdio>

#include "common/report.h"
#include "tftp/tftp.h"

std::uint16_t StartTftpListener(std::uint32_t) {
  std::printf("zemupgrade: the TFTP transfer server is not built yet\n");
  EndProcess(kExitFailed);
}
