// The fixed order of one upgrade on the main thread.
#include <cstdio>

#include "common/report.h"
#include "common/text.h"
#include "tftp/tftp.h"
#include "ui/ui.h"
#include "upgrade/upgrade.h"
#include "web/web.h"

namespace {

int RequestFromDevice(const char* path) {
  return RunDeviceRequest(ModuleInstance, ChosenLocalAddress, kFirstLocalHttpPort, DeviceAddress,
                          kDeviceHttpPort, path, ResponseBuffer, kResponseLimit);
}

// 1 the operator goes on, 0 Cancel. DialogBoxParamA answers -1 when the dialog
// cannot be made at all: that is neither Cancel nor a go-ahead (a confirmation
// that never appeared must not start the upgrade), so it is reported and gives -1.
int ShowWizardDialog(int id, DLGPROC procedure) {
  INT_PTR result = DialogBoxParamA(ModuleInstance, MAKEINTRESOURCEA(id), nullptr, procedure, 0);
  if (result != -1) return result != 0 ? 1 : 0;
  char message[64];
  std::snprintf(message, sizeof message, "Upgrade Failed: dialog %d cannot be shown", id);
  ReportError(message);
  return -1;
}

}  // namespace

int UpgradeMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  ModuleInstance = instance;
  InitializeUpgrade();

  int shown = ShowWizardDialog(kNoticeDialog, NoticeDialogProc);
  if (shown <= 0) return shown < 0 ? kExitFailed : kExitCancelled;
  shown = ShowWizardDialog(kAddressDialog, AddressDialogProc);
  if (shown <= 0) return shown < 0 ? kExitFailed : kExitCancelled;
  if (DeviceAddress == 0) return kExitFailed;

  if (RequestFromDevice(kStatusPagePath) <= 0) {
    ReportError("Upgrade Failed: No Response From ZEM");
    return kExitFailed;
  }

  shown = ShowWizardDialog(kConfirmDialog, ConfirmDialogProc);
  if (shown < 0) return kExitFailed;
  if (shown == 0) {
    ReportError(kUserAbortMessage);
    return kExitCancelled;
  }

  std::uint16_t port = StartTftpListener(ChosenLocalAddress);
  QuadBytes local = BytesOf(ChosenLocalAddress);
  std::snprintf(UpgradePath, sizeof UpgradePath, kUpgradePathFormat, local.first, local.second, local.third,
                local.fourth, static_cast<unsigned>(port), TftpFileName);
  RequestFromDevice(UpgradePath);  // the answer is not examined
  MarkUpgradeCommandReturned();

  for (;;) Sleep(kIdlePauseMs);
}
