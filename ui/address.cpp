// The address entry dialog (101) and the dotted-quad parser.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/random.h"
#include "common/text.h"
#include "common/trace.h"
#include "ui/dialog_rules.h"
#include "ui/ui.h"
#include "upgrade/upgrade.h"

static_assert(kOkButton == IDOK && kCancelButton == IDCANCEL, "command identifiers");

namespace {

constexpr char kHeading[] = "This program will upgrade your ZEM\r\nfirmware to:";
constexpr char kInstructions[] =
    "To proceed, please provide the IP address\r\nof your ZEM. To find out the IP address\r\nof your ZEM, using a "
    "telephone handset,\r\nenter # # # #, option 110#, and write down\r\nthe value. For example, "
    "10.1.0.123\r\n\r\nPlease enter IP address of your ZEM:";
constexpr char kInvalidAddress[] = "Invalid IP Address";
constexpr char kNoLocalAddress[] =
    "This PC has no network address to offer. Connect it to the ZEM's network and start the upgrade again.";
constexpr char kErrorTitle[] = "Error";

constexpr std::size_t kShortestQuad = 7;   // "1.2.3.4"
constexpr std::size_t kLongestQuad = 15;   // "255.255.255.255"
constexpr unsigned kRandomRange = 32768;   // the generator's range: 1 to 4 hexadecimal digits

bool IsSeparator(char c) { return c == '.' || c == '*'; }

void AddLocalAddresses(HWND dialog) {
  for (int i = 0; i < kLocalAddressCapacity && LocalAddressList[i] != 0; ++i) {
    char entry[kDottedQuadSize];
    FormatDottedQuad(LocalAddressList[i], entry);
    SendDlgItemMessageA(dialog, kLocalAddressCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
  }
  SendDlgItemMessageA(dialog, kLocalAddressCombo, CB_SETCURSEL, 0, 0);
}

void OpenAddressDialog(HWND dialog) {
  AddLocalAddresses(dialog);
  char caption[128];
  std::snprintf(caption, sizeof caption, "%s Firmware Upgrade", FirmwareImage.ProductDisplayName);
  SetWindowTextA(dialog, caption);
  SetDlgItemTextA(dialog, kHeadingText, kHeading);
  SetDlgItemTextA(dialog, kInstructionText, kInstructions);
  char version[128];
  std::snprintf(version, sizeof version, "Version %s", FirmwareVersion());
  SetDlgItemTextA(dialog, kVersionLine, version);
  SetFocus(GetDlgItem(dialog, kIpAddressControl));
  CenterWindow(dialog);
}

// The PC's address at the combo box's selected position, or 0 when there is none
// (no entries: the PC's host name did not resolve).
std::uint32_t SelectedLocalAddress(HWND dialog) {
  LRESULT position = SendDlgItemMessageA(dialog, kLocalAddressCombo, CB_GETCURSEL, 0, 0);
  if (position < 0 || position >= kLocalAddressCapacity) return 0;
  return LocalAddressList[position];
}

void AcceptAddress(HWND dialog) {
  GetDlgItemTextA(dialog, kIpAddressControl, DeviceAddressText, static_cast<int>(sizeof DeviceAddressText));
  ParseDottedQuad(DeviceAddressText, &DeviceAddress);  // only the address counts: 0.0.0.0 is refused too
  if (DeviceAddress == 0) {
    MessageBoxA(dialog, kInvalidAddress, kErrorTitle, MB_OK);
    SetFocus(GetDlgItem(dialog, kIpAddressControl));
    return;
  }
  std::uint32_t local = SelectedLocalAddress(dialog);
  if (local == 0) {
    // Nothing to bind to or to name in the upgrade command; only Cancel helps.
    MessageBoxA(dialog, kNoLocalAddress, kErrorTitle, MB_OK);
    SetFocus(GetDlgItem(dialog, kCancelButton));
    return;
  }
  std::snprintf(TftpFileName, sizeof TftpFileName, "/zem%x.bin",
                static_cast<unsigned>(SharedRandom()) % kRandomRange);
  ChosenLocalAddress = local;
  Trace("+++ using %x\n", ChosenLocalAddress);
  EndDialog(dialog, 1);
}

}  // namespace

int ParseDottedQuad(const char* text, std::uint32_t* result) {
  *result = 0;
  std::size_t length = std::strlen(text);
  if (length > kLongestQuad || length < kShortestQuad) return 4;
  for (std::size_t i = 0; i < length; ++i) {
    if ((text[i] < '0' || text[i] > '9') && !IsSeparator(text[i])) return 5;
  }
  char work[kLongestQuad + 1];
  CopyText(work, text);
  // Runs of separators, and separators at either end, make no empty parts.
  std::uint32_t parts[4];
  int taken = 0;
  for (const char* p = work; *p != '\0';) {
    if (IsSeparator(*p)) {
      ++p;
      continue;
    }
    if (taken == 4) return 2;
    // Decimal, leading zeros included; a value past 256 is not followed further.
    unsigned value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (value <= 255) value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    if (value > 255) return 1;
    parts[taken++] = value;
  }
  if (taken < 4) return 3;
  *result = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
  return 0;
}

INT_PTR CALLBACK AddressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    OpenAddressDialog(dialog);
    return FALSE;  // the focus stays in the address control
  }
  if (message != WM_COMMAND) return FALSE;
  if (LOWORD(wParam) == IDOK) {
    AcceptAddress(dialog);
    return TRUE;
  }
  return EndOnOkOrCancel(dialog, wParam);  // Cancel ends with 0 and sets nothing
}
