#include "tests/port/fixtures.h"

namespace {

constexpr ControlDef kNoticeControls[] = {
    {ControlKind::PushButton, 1, "Continue", 41, 116, 50, 14, kTabStop, 0},
    {ControlKind::DefPushButton, 2, "Cancel", 109, 116, 50, 14, kTabStop, 0},
    {ControlKind::Edit, 1021, nullptr, 12, 13, 189, 95, kReadOnly | kMultiLine | kNoBorder, 0},
};
constexpr ControlDef kAddressControls[] = {
    {ControlKind::DefPushButton, 1, "OK", 26, 126, 50, 14, kTabStop, 0},
    {ControlKind::PushButton, 2, "Cancel", 79, 126, 50, 14, kTabStop, 0},
    {ControlKind::Edit, 1007, nullptr, 13, 6, 139, 16, kReadOnly | kMultiLine | kNoBorder | kTabStop, 0},
    {ControlKind::ComboBox, 1017, nullptr, 63, 153, 79, 80, kVScroll | kTabStop, 0},
    {ControlKind::Static, kNoControlId, "Your IP Address", 9, 156, 52, 8, kAlignLeft, 0},
    {ControlKind::Icon, kNoControlId, nullptr, 119, 18, 20, 20, 0, 106},
    {ControlKind::IpAddress, 1000, "IPAddress1", 26, 103, 103, 15, kTabStop, 0},
};
constexpr ControlDef kProgressControls[] = {
    {ControlKind::PushButton, 2, "Cancel", 65, 34, 50, 14, kTabStop, 0},
    {ControlKind::Progress, 1010, "Progress1", 22, 10, 141, 14, kBorder, 0},
};
constexpr ControlDef kNoTabStopControls[] = {
    {ControlKind::Edit, 1021, nullptr, 12, 13, 189, 95, kReadOnly | kMultiLine | kNoBorder, 0},
};
constexpr ControlDef kCredentialsControls[] = {
    {ControlKind::DefPushButton, 1, "OK", 32, 210, 50, 14, kTabStop, 0},
    {ControlKind::PushButton, 2, "Cancel", 104, 210, 50, 14, kTabStop, 0},
    {ControlKind::Edit, 1003, nullptr, 68, 168, 85, 14, kAutoHScroll | kBorder | kTabStop, 0},
    {ControlKind::Edit, 1005, nullptr, 68, 186, 85, 14, kPassword | kAutoHScroll | kBorder | kTabStop, 0},
    {ControlKind::Static, kNoControlId, "User", 18, 170, 44, 8, kAlignRight, 0},
    {ControlKind::Static, kNoControlId, "Password", 18, 191, 44, 8, kAlignRight, 0},
    {ControlKind::Edit, 1007, nullptr, 15, 9, 165, 152, kReadOnly | kMultiLine | kNoBorder | kTabStop, 0},
};

template <std::size_t N>
constexpr DialogDef Def(int id, const char* caption, short width, short height, bool modeless,
                        const ControlDef (&controls)[N]) {
  return DialogDef{id, caption, 0, 0, width, height, modeless, controls, N};
}

constexpr DialogDef kFixtures[] = {
    Def(kNoticeLike, "Notice Fixture", 204, 143, false, kNoticeControls),
    Def(kAddressLike, "Address Fixture", 158, 181, false, kAddressControls),
    Def(kProgressLike, "Progress Fixture", 186, 55, true, kProgressControls),
    Def(kNoTabStop, "Bare Fixture", 100, 50, false, kNoTabStopControls),
    Def(kCredentialsLike, "Credentials Fixture", 191, 236, false, kCredentialsControls),
};

}  // namespace

const DialogDef* FixtureDialog(int id) {
  for (const DialogDef& def : kFixtures) {
    if (def.id == id) return &def;
  }
  return nullptr;
}

bool EndOnOkOrCancel(HWND dialog, UINT message, WPARAM wParam) {
  if (message != WM_COMMAND || (LOWORD(wParam) != IDOK && LOWORD(wParam) != IDCANCEL)) return false;
  EndDialog(dialog, LOWORD(wParam) == IDOK ? 1 : 0);
  return true;
}

void SetPercentRange(HWND dialog) { SendDlgItemMessageA(dialog, 1010, PBM_SETRANGE, 0, MAKELPARAM(0, 100)); }
