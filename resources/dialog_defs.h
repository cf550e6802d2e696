// The dialog templates as data: the one source from which the Windows .rc text is
// generated (tools/rcgen) and from which port/ builds the same dialogs on POSIX.
#pragma once

#include <cstddef>

enum class ControlKind : unsigned char {
  DefPushButton,  // the default push button: Enter presses it
  PushButton,
  Edit,           // edit box
  ComboBox,       // drop-down list
  Static,         // static text
  Icon,           // icon control; text holds nothing, iconId names the icon
  IpAddress,      // four-field IPv4 entry, class "SysIPAddress32"
  Progress,       // progress bar, class "msctls_progress32"
};

// A button that sends its command when pressed: the default one or another.
constexpr bool IsPushButton(ControlKind kind) {
  return kind == ControlKind::DefPushButton || kind == ControlKind::PushButton;
}

// Style attributes of a control.
enum ControlFlag : unsigned {
  kTabStop = 1u << 0,
  kReadOnly = 1u << 1,
  kMultiLine = 1u << 2,      // edit boxes: lines end at the text's own CR LF, words never wrap
  kBorder = 1u << 3,         // edit boxes and progress bars: a border
  kPassword = 1u << 4,       // typed characters masked
  kAutoHScroll = 1u << 5,    // scrolls sideways while typing
  kVScroll = 1u << 6,        // vertical scroll bar (combo box list)
  kAlignLeft = 1u << 7,
  kAlignRight = 1u << 8,
  kAlignCenter = 1u << 9,
  kNoBorder = 1u << 10,      // edit boxes without the default border
};

inline constexpr int kNoControlId = -1;  // a control that no procedure addresses (IDC_STATIC)

struct ControlDef {
  ControlKind kind;
  int id;
  const char* text;  // template text; nullptr for none
  short x, y, width, height;  // dialog units
  unsigned flags;
  int iconId;  // for ControlKind::Icon
};

struct DialogDef {
  int id;
  const char* caption;
  short x, y, width, height;  // dialog units
  bool modeless;              // informational: shown with CreateDialogParamA
  const ControlDef* controls; // in template order, which is the tab order
  std::size_t controlCount;
};

inline constexpr const char kDialogFontName[] = "MS Sans Serif";
inline constexpr int kDialogFontSize = 8;

// The eight dialogs (resources/dialogs.cpp).
extern const DialogDef kDialogDefs[];
extern const std::size_t kDialogDefCount;
const DialogDef* FindDialogDef(int id);
