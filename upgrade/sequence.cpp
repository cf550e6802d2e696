// The fixed order of one upgrade on the main thread.
#include <cstdio>

#include "common/report.h"
#include "tftp/tftp.h"
#include "ui/ui.h"
#include "upgrade/upgrade.h"
#include "web/web.h"

namespace {

int RequestFromDevice(const char* path) {
  return RunDeviceRequest(ModuleInstance, ChosenLocalAddress, kFirstLocalHttpPort, DeviceAddress,
                          kDeviceHttpPort, path, ResponseBuffer, kResponseLimit);
}

}  // namespace

int UpgradeMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  ModuleInstance = instance;
  InitializeUpgrade();

  if (DialogBoxParamA(ModuleInstance, MAKEINTRESOURCEA(kNoticeDialog), nullptr, NoticeDialogProc, 0) == 0) {
    return kExitCancelled;
  }
  if (DialogBoxParamA(ModuleInstance, MAKEINTRESOURCEA(kAddressDialog), nullptr, AddressDialogProc, 0) == 0) {
    return kExitCancelled;
  }
  if (DeviceAddress == 0) return kExitFailed;

  if (RequestFromDevice(kStatusPagePath) <= 0) {
    ReportError("Upgrade Failed: No Response From ZEM");
    return kExitFailed;
  }

  if (DialogBoxParamA(ModuleInstance, MAKEINTRESOURCEA(kConfirmDialog), nullptr, ConfirmDialogProc, 0) == 0) {
    ReportError(kUserAbortMessage);
    return kExitCancelled;
  }

  std::uint16_t port = StartTftpListener(ChosenLocalAddress);
  std::snprintf(UpgradePath, sizeof UpgradePath, kUpgradePathFormat, (ChosenLocalAddress >> 24) & 0xffu,
                (ChosenLocalAddress >> 16) & 0xffu, (ChosenLocalAddress >> 8) & 0xffu, ChosenLocalAddress & 0xffu,
                static_cast<unsigned>(port), TftpFileName);
  RequestFromDevice(UpgradePath);  // the answer is not examined
  MarkUpgradeCommandReturned();

  for (;;) Sleep(kIdlePauseMs);
}
