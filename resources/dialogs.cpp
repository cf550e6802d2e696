// The eight dialog templates. tools/rcgen writes the Windows .rc statements from
// this table and port/ builds its dialogs from it, so both builds show the same
// controls, identifiers, texts and layout.
#include "resources/dialog_defs.h"
#include "ui/ids.h"

namespace {

using K = ControlKind;
constexpr int kStaticId = kNoControlId;
constexpr unsigned kReadOnlyText = kReadOnly | kMultiLine | kNoBorder | kTabStop;  // text with its own line breaks
constexpr unsigned kReadOnlyLine = kReadOnly | kBorder | kTabStop;

constexpr ControlDef kAddressControls[] = {
    {K::DefPushButton, kOkButton, "OK", 26, 126, 50, 14, kTabStop, 0},
    {K::PushButton, kCancelButton, "Cancel", 79, 126, 50, 14, kTabStop, 0},
    {K::Edit, kHeadingText, nullptr, 13, 6, 139, 16, kReadOnlyText, 0},
    {K::Edit, kInstructionText, nullptr, 13, 42, 139, 56, kReadOnlyText, 0},
    {K::Edit, kVersionLine, nullptr, 37, 28, 89, 14, kReadOnly | kNoBorder | kTabStop, 0},
    // The height includes the dropped list.
    {K::ComboBox, kLocalAddressCombo, nullptr, 63, 153, 79, 80, kVScroll | kTabStop, 0},
    {K::Static, kStaticId, "Your IP Address", 9, 156, 52, 8, kAlignLeft, 0},
    {K::Icon, kStaticId, nullptr, 119, 18, 20, 20, 0, kIconId},
    {K::IpAddress, kIpAddressControl, "IPAddress1", 26, 103, 103, 15, kTabStop, 0},
};

constexpr ControlDef kConfirmControls[] = {
    {K::DefPushButton, kOkButton, "Upgrade", 29, 146, 50, 14, kTabStop, 0},
    {K::PushButton, kCancelButton, "Cancel", 83, 146, 50, 14, kTabStop, 0},
    {K::Edit, kSerialNumberBox, nullptr, 78, 47, 67, 14, kReadOnlyLine, 0},
    {K::Edit, kMacAddressBox, nullptr, 78, 64, 67, 14, kReadOnlyLine, 0},
    {K::Edit, kSoftwareVersionBox, nullptr, 78, 81, 67, 14, kReadOnlyLine, 0},
    {K::Edit, kHardwareVersionBox, nullptr, 78, 98, 67, 14, kReadOnlyLine, 0},
    {K::Edit, kProductNameBox, nullptr, 78, 115, 67, 14, kReadOnlyLine, 0},
    {K::Static, kStaticId, "Serial Number", 0, 50, 72, 8, kAlignRight, 0},
    {K::Static, kStaticId, "MAC Address", 0, 67, 72, 8, kAlignRight, 0},
    {K::Static, kStaticId, "Software Version", 0, 84, 72, 8, kAlignRight, 0},
    {K::Static, kStaticId, "Hardware Version", 0, 101, 72, 8, kAlignRight, 0},
    {K::Static, kStaticId, "Product Name", 0, 118, 72, 8, kAlignRight, 0},
    {K::Edit, kHeadingText, nullptr, 12, 6, 142, 35, kReadOnlyText, 0},
};

constexpr ControlDef kPasswordControls[] = {
    {K::DefPushButton, kOkButton, "OK", 32, 210, 50, 14, kTabStop, 0},
    {K::PushButton, kCancelButton, "Cancel", 104, 210, 50, 14, kTabStop, 0},
    {K::Edit, kUserField, nullptr, 68, 168, 85, 14, kAutoHScroll | kBorder | kTabStop, 0},
    {K::Edit, kPasswordField, nullptr, 68, 186, 85, 14, kPassword | kAutoHScroll | kBorder | kTabStop, 0},
    {K::Static, kStaticId, "User", 18, 170, 44, 8, kAlignRight, 0},
    {K::Static, kStaticId, "Password", 18, 191, 44, 8, kAlignRight, 0},
    {K::Edit, kHeadingText, nullptr, 15, 9, 165, 152, kReadOnlyText, 0},
};

constexpr ControlDef kConnectingControls[] = {
    {K::PushButton, kCancelButton, "Cancel", 65, 34, 50, 14, kTabStop, 0},
    {K::Progress, kProgressControl, "Progress1", 22, 10, 141, 14, kBorder, 0},
};

constexpr ControlDef kTransferControls[] = {
    {K::PushButton, kCancelButton, "Cancel", 95, 52, 50, 14, kTabStop, 0},
    {K::Progress, kProgressControl, "Progress1", 17, 35, 206, 8, kBorder, 0},
    {K::Static, kStaticId, "Please do not unplug the power of your ZEM until the Status Light stops blinking", 53, 12,
     137, 22, kAlignCenter, 0},
};

// No Cancel button: Escape and the close box are the only way to command 2.
constexpr ControlDef kSuccessControls[] = {
    {K::DefPushButton, kOkButton, "OK", 59, 94, 50, 14, kTabStop, 0},
    {K::Edit, kSoftwareVersionBox, nullptr, 15, 69, 136, 14, kReadOnly | kAlignCenter | kBorder | kTabStop, 0},
    {K::Edit, kHeadingText, nullptr, 29, 9, 111, 33, kReadOnlyText, 0},
    {K::Static, kStaticId, "www.example.com", 82, 50, 53, 8, kAlignLeft, 0},
};

constexpr ControlDef kWaitingControls[] = {
    {K::PushButton, kCancelButton, "Cancel", 87, 73, 50, 14, kTabStop, 0},
    {K::Progress, kProgressControl, "Progress1", 27, 46, 170, 14, kBorder, 0},
    {K::Static, kStaticId,
     "Please make sure your ZEM is not in use. Firmware upload will begin only when the ZEM is idle.", 31, 17,
     159, 20, kAlignLeft, 0},
};

// The default button is Cancel: Enter on the notice stops the upgrade.
constexpr ControlDef kNoticeControls[] = {
    {K::PushButton, kOkButton, "Continue", 41, 116, 50, 14, kTabStop, 0},
    {K::DefPushButton, kCancelButton, "Cancel", 109, 116, 50, 14, kTabStop, 0},
    {K::Edit, kWarningText, nullptr, 12, 13, 189, 95, kReadOnly | kMultiLine | kNoBorder, 0},
};

template <std::size_t N>
constexpr std::size_t Count(const ControlDef (&)[N]) {
  return N;
}

}  // namespace

const DialogDef kDialogDefs[] = {
    {kAddressDialog, "Enter ZEM IP Address", 200, 200, 158, 181, false, kAddressControls, Count(kAddressControls)},
    {kConfirmDialog, "Confirm Upgrade", 200, 200, 172, 170, false, kConfirmControls, Count(kConfirmControls)},
    {kPasswordDialog, "Enter Password Information", 200, 200, 191, 236, false, kPasswordControls,
     Count(kPasswordControls)},
    {kConnectingDialog, "Connecting with ZEM", 200, 200, 186, 55, true, kConnectingControls,
     Count(kConnectingControls)},
    {kTransferDialog, "Uploading Firmware To ZEM", 0, 0, 244, 77, true, kTransferControls, Count(kTransferControls)},
    {kSuccessDialog, "ZEM Upgrade Successful!", 0, 0, 171, 126, false, kSuccessControls, Count(kSuccessControls)},
    {kWaitingDialog, "Waiting For Firmware Upload Request From ZEM", 0, 0, 229, 97, true, kWaitingControls,
     Count(kWaitingControls)},
    {kNoticeDialog, "ZEM-4200 Firmware Upgrade", 0, 0, 204, 143, false, kNoticeControls, Count(kNoticeControls)},
};
const std::size_t kDialogDefCount = sizeof kDialogDefs / sizeof kDialogDefs[0];
static_assert(sizeof kDialogDefs / sizeof kDialogDefs[0] == 8, "eight dialogs");

const DialogDef* FindDialogDef(int id) {
  for (const DialogDef& dialog : kDialogDefs) {
    if (dialog.id == id) return &dialog;
  }
  return nullptr;
}
