// The notice (139), credentials (104), confirmation (103) and success (111) dialogs.
#include <cstdio>

#include "digest/digest.h"
#include "ui/dialog_rules.h"
#include "ui/ui.h"
#include "upgrade/upgrade.h"
#include "web/web.h"

namespace {

constexpr char kWarning[] =
    "WARNING: Forcing a firmware upgrade on your ZEM\r\nwithout prior approval from your service provider or\r\n"
    "network administrator may cause interruption to your\r\nservice.  If your ZEM is managed by a service\r\n"
    "provider who retains administrative control of the\r\ndevice, please contact the service provider for\r\n"
    "authorization before proceeding.  In such cases, the\r\nmost current, approved for service firmware is\r\n"
    "automatically provided by your service provider without\r\nany onus on the end user to upgrade manually.";

constexpr char kPasswordHelp[] =
    "This ZEM requires a password in order to be\r\nupgraded. If you do not have administrator's\r\n"
    "privileges for this unit, please contact your\r\nService Provider or network administrator,\r\n"
    "before proceeding.\r\n\r\nYou must provide the ZEM administrator's\r\npassword to upgrade. If you are the "
    "administrator\r\nand forgot the password, you may perform a\r\nfactory reset by entering # # # #, option "
    "51515#,\r\nand value 1 from a telephone connected to the\r\nunit to be upgraded.\r\n\r\n"
    "* * * * * * * * * * *  Warning  * * * * * * * * * * *"
    "\r\nAll settings will revert to default values\r\nafter factory reset!  You may not be able to\r\n"
    "reestablish service after completing this upgrade\r\nwithout first reentering service configuration\r\n"
    "information.";

constexpr char kConfirmHeading[] =
    "The following information was extracted\r\nfrom your ZEM. Please click \"Upgrade\"\r\nif you would like to "
    "proceed. If you would\r\nlike to quit click \"Cancel\".";

constexpr char kSuccessHeading[] = "Your ZEM has been successfully\r\nupgraded to the version shown\r\nbelow.";

constexpr char kDefaultUser[] = "admin";
constexpr int kCredentialCapacity = 127;  // at most 126 characters are kept
static_assert(kCredentialCapacity <= static_cast<int>(sizeof AuthState.username) &&
                  kCredentialCapacity <= static_cast<int>(sizeof AuthState.password),
              "credentials fit their fields");

void SetCaption(HWND dialog, const char* format, const char* value) {
  char caption[256];
  std::snprintf(caption, sizeof caption, format, value);
  SetWindowTextA(dialog, caption);
}

}  // namespace

INT_PTR CALLBACK NoticeDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetCaption(dialog, "%s Firmware Upgrade", FirmwareImage.ProductDisplayName);
    SetDlgItemTextA(dialog, kWarningText, kWarning);
    SetFocus(GetDlgItem(dialog, kCancelButton));
    CenterWindow(dialog);
    return FALSE;  // the focus stays on Cancel
  }
  if (message == WM_COMMAND) return EndOnOkOrCancel(dialog, wParam);
  return FALSE;
}

INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetDlgItemTextA(dialog, kHeadingText, kPasswordHelp);
    SetDlgItemTextA(dialog, kUserField, kDefaultUser);  // every opening, whatever was typed before
    SetFocus(GetDlgItem(dialog, kPasswordField));
    CenterWindow(dialog);
    return FALSE;  // the focus stays in the password field
  }
  if (message != WM_COMMAND) return FALSE;
  if (LOWORD(wParam) == IDOK) {
    // Neither field is tested: empty entries are stored empty, and an empty
    // password sends the next request without credentials.
    GetDlgItemTextA(dialog, kUserField, AuthState.username, kCredentialCapacity);
    GetDlgItemTextA(dialog, kPasswordField, AuthState.password, kCredentialCapacity);
  }
  return EndOnOkOrCancel(dialog, wParam);
}

INT_PTR CALLBACK ConfirmDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetCaption(dialog, "Confirm Upgrade to Ver. %s", FirmwareVersion());
    SetDlgItemTextA(dialog, kHeadingText, kConfirmHeading);
    SetDlgItemTextA(dialog, kSerialNumberBox, DeviceInfo.SerialNumber);
    SetDlgItemTextA(dialog, kMacAddressBox, DeviceInfo.MacAddress);
    SetDlgItemTextA(dialog, kSoftwareVersionBox, DeviceInfo.SoftwareVersion);
    SetDlgItemTextA(dialog, kHardwareVersionBox, DeviceInfo.HardwareVersion);
    SetDlgItemTextA(dialog, kProductNameBox, DeviceInfo.ProductName);
    CenterWindow(dialog);
    return TRUE;  // the first tab stop, "Upgrade", takes the focus
  }
  if (message == WM_COMMAND) return EndOnOkOrCancel(dialog, wParam);
  return FALSE;
}

INT_PTR CALLBACK SuccessDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetCaption(dialog, "ZEM@%s Upgrade Successful!", DeviceAddressText);
    SetDlgItemTextA(dialog, kHeadingText, kSuccessHeading);
    SetDlgItemTextA(dialog, kSoftwareVersionBox, DeviceInfo.SoftwareVersion);
    CenterWindow(dialog);
    return TRUE;  // the first tab stop, OK, takes the focus
  }
  if (message == WM_COMMAND) return EndOnOkOrCancel(dialog, wParam);
  return FALSE;
}
