// Identifiers of the dialogs, their controls and the icon. Free of the platform
// headers, so that the build-time tool that writes the .rc text can use them too.
#pragma once

enum DialogId : int {
  kAddressDialog = 101,
  kConfirmDialog = 103,
  kPasswordDialog = 104,
  kConnectingDialog = 105,
  kTransferDialog = 110,
  kSuccessDialog = 111,
  kWaitingDialog = 114,
  kNoticeDialog = 139,
};
inline constexpr int kIconId = 106;

// The platform's IDOK and IDCANCEL (checked against them in ui/).
inline constexpr int kOkButton = 1;
inline constexpr int kCancelButton = 2;

// Controls. One number may name different controls in different dialogs.
inline constexpr int kIpAddressControl = 1000;   // 101: the adapter's address
inline constexpr int kSerialNumberBox = 1002;    // 103
inline constexpr int kMacAddressBox = 1003;      // 103
inline constexpr int kSoftwareVersionBox = 1004; // 103 and 111
inline constexpr int kHardwareVersionBox = 1005; // 103
inline constexpr int kProductNameBox = 1006;     // 103
inline constexpr int kUserField = 1003;          // 104
inline constexpr int kPasswordField = 1005;      // 104
inline constexpr int kHeadingText = 1007;        // 101, 103, 104, 111: the text at the top
inline constexpr int kInstructionText = 1008;    // 101
inline constexpr int kProgressControl = 1010;    // 105, 110, 114
inline constexpr int kVersionLine = 1015;        // 101
inline constexpr int kLocalAddressCombo = 1017;  // 101
inline constexpr int kWarningText = 1021;        // 139
