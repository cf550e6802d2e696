// After the upload the adapter writes its flash and restarts; nothing tells us
// when, so a fixed 1562 ticks of 32 ms (about 50 s) pass before it is asked again.
#include <cstdio>
#include <cstdlib>

#include "common/report.h"
#include "tftp/tftp.h"
#include "ui/ui.h"
#include "upgrade/upgrade.h"
#include "web/web.h"

namespace {

// Dialog 110 during the wait: every message at every tick, the bar at every tick.
constexpr ProgressPace kRebootPace{0, 0, false};

}  // namespace

std::uint32_t RunRebootWait(HWND window) {
  std::uint32_t start = CurrentTick();
  SetProgressRange(window, kRebootWaitTicks);
  ProgressDialog dialog = KeepProgressDialog(window, kRebootPace, timeGetTime());
  char caption[kProgressCaptionSize];
  std::snprintf(caption, sizeof caption, "Updating Firmware to ZEM@%s", DeviceAddressText);
  ShowProgress(&dialog, timeGetTime(), 0, caption, true);
  for (;;) {
    // The tick wraps to 0 with the millisecond clock (every 49.7 days); a read
    // below the start lies after the wrap.
    std::uint32_t now = CurrentTick();
    if (now < start) now += kTickWrap;
    std::uint32_t clock = timeGetTime();
    ShowProgress(&dialog, clock, static_cast<int>(now - start), nullptr, true);
    TendProgressDialog(&dialog, clock);
    if (now >= start + kRebootWaitTicks) return now - start;
    Sleep(kRebootTickMs);
  }
}

void WaitForUpgradeCommand(HWND window) {
  ProgressDialog dialog = KeepProgressDialog(window, kRebootPace, timeGetTime());
  while (!UpgradeCommandReturned()) {
    TendProgressDialog(&dialog, timeGetTime());
    Sleep(kRebootTickMs);
  }
}

void WaitForReboot(TftpSession* session, TransferOutcome outcome, HWND dialog) {
  RunRebootWait(dialog);
  int status = kExitFailed;
  if (outcome != kUploaded) {
    DestroyWindow(dialog);
    ReportError("Upgrade Failed: Firmware Upload Incomplete");
  } else {
    // The upgrade command's exchange normally ended long ago; should the adapter
    // still hold it open, the verification waits, for both use ResponseBuffer and AuthState.
    WaitForUpgradeCommand(dialog);
    DestroyWindow(dialog);
    int received = RunDeviceRequest(ModuleInstance, session->localAddress, kFirstLocalHttpPort,
                                    session->peerAddress, kDeviceHttpPort, kStatusPagePath, ResponseBuffer,
                                    kResponseLimit);
    if (received <= 0) {
      ReportError("Upgrade Failed: ZEM not responding after firmware upload");
    } else {
      DialogBoxParamA(ModuleInstance, MAKEINTRESOURCEA(kSuccessDialog), nullptr, SuccessDialogProc, 0);
      status = kExitUpgraded;
    }
  }
  std::free(session);
  EndProcess(status);
}
