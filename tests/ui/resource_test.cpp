// The Windows build's dialogs, icon and version information as the platform
// loads them from the executable's resources, compared with the dialog table.
// Built for Windows only; runs under Wine with a private X display.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/platform.h"
#include "resources/dialog_defs.h"
#include "ui/ids.h"

namespace {

INT_PTR CALLBACK AnswerInit(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG ? TRUE : FALSE; }

class ResourceTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_INTERNET_CLASSES | ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);
  }
  HINSTANCE module_ = GetModuleHandleA(nullptr);
};

std::string WindowText(HWND window) {
  char text[512];
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string ClassName(HWND window) {
  char name[64];
  GetClassNameA(window, name, sizeof name);
  return name;
}

const char* ExpectedClass(ControlKind kind) {
  switch (kind) {
    case ControlKind::DefPushButton:
    case ControlKind::PushButton:
      return "Button";
    case ControlKind::Edit:
      return "Edit";
    case ControlKind::ComboBox:
      return "ComboBox";
    case ControlKind::Static:
    case ControlKind::Icon:
      return "Static";
    case ControlKind::IpAddress:
      return "SysIPAddress32";
    case ControlKind::Progress:
      return "msctls_progress32";
  }
  return "";
}

// The rectangle of a child in the dialog's client coordinates.
RECT ClientRect(HWND dialog, HWND control) {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// A border takes room outside the client area.
bool HasBorder(HWND control) {
  RECT window, client;
  GetWindowRect(control, &window);
  GetClientRect(control, &client);
  return client.right < window.right - window.left || client.bottom < window.bottom - window.top;
}

// The styles of a dialog's items as the template holds them (DLGTEMPLATEEX):
// some controls move their style bits elsewhere once created.
std::vector<DWORD> TemplateItemStyles(HINSTANCE module, int id) {
  std::vector<DWORD> styles;
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), RT_DIALOG);
  if (found == nullptr) return styles;
  const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
  auto word = [base](std::size_t at) { WORD w; std::memcpy(&w, base + at, 2); return w; };
  auto dword = [base](std::size_t at) { DWORD d; std::memcpy(&d, base + at, 4); return d; };
  // A name or ordinal: 0xffff and a number, or a zero-terminated UTF-16 text.
  auto skipNameOrOrdinal = [&word](std::size_t at) {
    if (word(at) == 0xffff) return at + 4;
    while (word(at) != 0) at += 2;
    return at + 2;
  };
  if (word(0) != 1 || word(2) != 0xffff) return styles;  // not a DIALOGEX template
  DWORD dialogStyle = dword(12);
  WORD count = word(16);
  std::size_t at = 26;
  at = skipNameOrOrdinal(at);  // menu
  at = skipNameOrOrdinal(at);  // class
  at = skipNameOrOrdinal(at);  // title
  if (dialogStyle & DS_SETFONT) at = skipNameOrOrdinal(at + 6);  // size, weight, italic, charset, face
  for (WORD i = 0; i < count; ++i) {
    at = (at + 3) & ~std::size_t{3};
    styles.push_back(dword(at + 8));
    at += 24;  // help id, extended style, style, x, y, cx, cy, id
    at = skipNameOrOrdinal(at);  // class
    at = skipNameOrOrdinal(at);  // text
    at += 2 + word(at);          // creation data
  }
  return styles;
}

void ExpectStyle(const ControlDef& def, DWORD style, HWND control, const std::string& where) {
  auto has = [style](DWORD bits) { return (style & bits) == bits; };
  EXPECT_EQ((def.flags & kTabStop) != 0, has(WS_TABSTOP)) << where << " tab stop";
  EXPECT_TRUE(has(WS_CHILD | WS_VISIBLE)) << where;
  switch (def.kind) {
    case ControlKind::DefPushButton:
      EXPECT_EQ(static_cast<DWORD>(BS_DEFPUSHBUTTON), style & 0x0f) << where;
      break;
    case ControlKind::PushButton:
      EXPECT_EQ(static_cast<DWORD>(BS_PUSHBUTTON), style & 0x0f) << where;
      break;
    case ControlKind::Edit:
      EXPECT_EQ((def.flags & kReadOnly) != 0, has(ES_READONLY)) << where << " read-only";
      EXPECT_EQ((def.flags & kMultiLine) != 0, has(ES_MULTILINE)) << where << " multi-line";
      EXPECT_EQ((def.flags & kPassword) != 0, has(ES_PASSWORD)) << where << " password";
      EXPECT_EQ((def.flags & kBorder) != 0, has(WS_BORDER)) << where << " border";
      EXPECT_EQ((def.flags & kBorder) != 0, HasBorder(control)) << where << " border drawn";
      EXPECT_EQ((def.flags & kAlignCenter) != 0, has(ES_CENTER)) << where << " centred";
      // A multi-line box that does not scroll sideways would wrap words.
      EXPECT_EQ((def.flags & (kAutoHScroll | kMultiLine)) != 0, has(ES_AUTOHSCROLL)) << where << " no wrapping";
      EXPECT_FALSE(has(WS_VSCROLL) || has(WS_HSCROLL)) << where << " scroll bars";
      break;
    case ControlKind::ComboBox: {
      EXPECT_EQ(static_cast<DWORD>(CBS_DROPDOWNLIST), style & 0x03) << where;
      EXPECT_FALSE(has(CBS_SORT)) << where << " sorted";
      EXPECT_TRUE(has(WS_VSCROLL)) << where << " scroll bar";
      break;
    }
    case ControlKind::Static: {
      DWORD alignment = style & SS_TYPEMASK;
      DWORD expected = (def.flags & kAlignRight) ? SS_RIGHT : (def.flags & kAlignCenter) ? SS_CENTER : SS_LEFT;
      EXPECT_EQ(expected, alignment) << where << " alignment (and word wrapping)";
      break;
    }
    case ControlKind::Icon:
      EXPECT_EQ(static_cast<DWORD>(SS_ICON), style & SS_TYPEMASK) << where;
      break;
    case ControlKind::IpAddress:
      break;
    case ControlKind::Progress:
      EXPECT_TRUE(has(WS_BORDER)) << where << " border";
      break;
  }
}

TEST_F(ResourceTest, EveryDialogMatchesTheTable) {
  ASSERT_EQ(8u, kDialogDefCount);
  for (std::size_t d = 0; d < kDialogDefCount; ++d) {
    const DialogDef& def = kDialogDefs[d];
    SCOPED_TRACE("dialog " + std::to_string(def.id));
    ASSERT_NE(nullptr, FindResourceExA(module_, RT_DIALOG, MAKEINTRESOURCEA(def.id),
                                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));
    HWND dialog = CreateDialogParamA(module_, MAKEINTRESOURCEA(def.id), nullptr, AnswerInit, 0);
    ASSERT_NE(nullptr, dialog);

    EXPECT_EQ(def.caption, WindowText(dialog));
    DWORD style = static_cast<DWORD>(GetWindowLongA(dialog, GWL_STYLE));
    const DWORD frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    EXPECT_EQ(frame, style & frame);
    EXPECT_EQ(0u, style & WS_VISIBLE) << "created hidden";

    // The template size is the client area, in dialog units.
    RECT size{0, 0, def.width, def.height};
    MapDialogRect(dialog, &size);
    RECT client;
    GetClientRect(dialog, &client);
    EXPECT_EQ(size.right, client.right);
    EXPECT_EQ(size.bottom, client.bottom);

    HFONT font = reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0));
    ASSERT_NE(nullptr, font);
    LOGFONTA logFont;
    ASSERT_NE(0, GetObjectA(font, sizeof logFont, &logFont));
    EXPECT_STREQ(kDialogFontName, logFont.lfFaceName);
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(-MulDiv(kDialogFontSize, GetDeviceCaps(screen, LOGPIXELSY), 72), logFont.lfHeight);
    ReleaseDC(nullptr, screen);

    // The children in creation order are the controls in template order.
    std::vector<HWND> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
      if (GetParent(child) == dialog) children.push_back(child);
    }
    ASSERT_EQ(def.controlCount, children.size());
    std::vector<DWORD> templateStyles = TemplateItemStyles(module_, def.id);
    ASSERT_EQ(def.controlCount, templateStyles.size());
    int defaultId = 0;
    std::vector<HWND> tabStops;
    for (std::size_t c = 0; c < def.controlCount; ++c) {
      const ControlDef& control = def.controls[c];
      HWND window = children[c];
      std::string where = "control " + std::to_string(c) + " (" + std::to_string(control.id) + ")";
      EXPECT_STRCASEEQ(ExpectedClass(control.kind), ClassName(window).c_str()) << where;
      if (control.id == kNoControlId) {
        EXPECT_EQ(0xffff, GetDlgCtrlID(window) & 0xffff) << where;
      } else {
        EXPECT_EQ(control.id, GetDlgCtrlID(window)) << where;
        EXPECT_EQ(window, GetDlgItem(dialog, control.id)) << where;
      }
      if (control.kind == ControlKind::DefPushButton) defaultId = control.id;
      if (control.flags & kTabStop) tabStops.push_back(window);
      ExpectStyle(control, templateStyles[c], window, where);

      switch (control.kind) {
        case ControlKind::DefPushButton:
        case ControlKind::PushButton:
        case ControlKind::Edit:
        case ControlKind::Static:
          EXPECT_EQ(control.text != nullptr ? control.text : "", WindowText(window)) << where;
          break;
        case ControlKind::Icon:
          EXPECT_NE(0, SendMessageA(window, STM_GETICON, 0, 0)) << where << " shows icon " << control.iconId;
          break;
        default:
          break;  // these classes keep no window text of their own
      }

      // The dialog manager maps the position and the size each on its own.
      RECT mapped{control.x, control.y, control.width, control.height};
      MapDialogRect(dialog, &mapped);
      RECT expected{mapped.left, mapped.top, mapped.left + mapped.right, mapped.top + mapped.bottom};
      RECT actual = ClientRect(dialog, window);
      EXPECT_EQ(expected.left, actual.left) << where;
      EXPECT_EQ(expected.top, actual.top) << where;
      // An icon control takes the icon's size; a closed combo box is one line high.
      if (control.kind != ControlKind::Icon) {
        EXPECT_EQ(expected.right, actual.right) << where;
      }
      if (control.kind != ControlKind::Icon && control.kind != ControlKind::ComboBox) {
        EXPECT_EQ(expected.bottom, actual.bottom) << where;
      }
    }

    LRESULT defId = SendMessageA(dialog, DM_GETDEFID, 0, 0);
    if (defaultId != 0) {
      EXPECT_EQ(DC_HASDEFID, HIWORD(defId));
      EXPECT_EQ(defaultId, LOWORD(defId)) << "default button";
    }
    // Tab walks the tab stops in template order and comes round again.
    for (std::size_t t = 0; t < tabStops.size(); ++t) {
      EXPECT_EQ(tabStops[(t + 1) % tabStops.size()], GetNextDlgTabItem(dialog, tabStops[t], FALSE))
          << "tab from stop " << t;
    }
    DestroyWindow(dialog);
  }
}

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colourCount, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
struct GroupIcon {
  WORD reserved, type, count;
  GroupIconEntry entries[1];
};
#pragma pack(pop)

BOOL CALLBACK TakeFirstName(HMODULE, LPCSTR, LPSTR name, LONG_PTR first) {
  *reinterpret_cast<UINT_PTR*>(first) = reinterpret_cast<UINT_PTR>(name);
  return FALSE;  // the first is enough
}

TEST_F(ResourceTest, Icon106IsTheFirstIconWithOne32By32ImageOf16Colours) {
  UINT_PTR first = 0;
  EnumResourceNamesA(module_, RT_GROUP_ICON, TakeFirstName, reinterpret_cast<LONG_PTR>(&first));
  EXPECT_EQ(static_cast<UINT_PTR>(kIconId), first) << "the executable's icon";

  HRSRC group = FindResourceExA(module_, RT_GROUP_ICON, MAKEINTRESOURCEA(kIconId),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  ASSERT_NE(nullptr, group);
  const GroupIcon* icon = static_cast<const GroupIcon*>(LockResource(LoadResource(module_, group)));
  ASSERT_NE(nullptr, icon);
  EXPECT_EQ(1, icon->type);
  ASSERT_EQ(1, icon->count);
  EXPECT_EQ(32, icon->entries[0].width);
  EXPECT_EQ(32, icon->entries[0].height);
  EXPECT_EQ(16, icon->entries[0].colourCount);
  EXPECT_EQ(4, icon->entries[0].bitCount);

  HRSRC image = FindResourceExA(module_, RT_ICON, MAKEINTRESOURCEA(icon->entries[0].id),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  ASSERT_NE(nullptr, image);
  const BITMAPINFOHEADER* header = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(module_, image)));
  EXPECT_EQ(32, header->biWidth);
  EXPECT_EQ(64, header->biHeight);  // the colour image and its mask
  EXPECT_EQ(4, header->biBitCount);
  EXPECT_NE(nullptr, LoadImageA(module_, MAKEINTRESOURCEA(kIconId), IMAGE_ICON, 32, 32, 0));
}

// The version block holds its texts in UTF-16.
bool HoldsText(const BYTE* bytes, DWORD size, const char* text) {
  std::vector<BYTE> wide;
  for (const char* p = text; *p != '\0'; ++p) {
    wide.push_back(static_cast<BYTE>(*p));
    wide.push_back(0);
  }
  for (DWORD i = 0; i + wide.size() <= size; ++i) {
    if (std::memcmp(bytes + i, wide.data(), wide.size()) == 0) return true;
  }
  return false;
}

TEST_F(ResourceTest, VersionInformationNamesTheProductAndItsVersion) {
  HRSRC version = FindResourceExA(module_, RT_VERSION, MAKEINTRESOURCEA(VS_VERSION_INFO),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  ASSERT_NE(nullptr, version);
  const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module_, version)));
  DWORD size = SizeofResource(module_, version);
  for (const char* text : {"ProductName", "zemupgrade", "ProductVersion", "FileVersion", "040904E4"}) {
    EXPECT_TRUE(HoldsText(bytes, size, text)) << text;
  }
  EXPECT_TRUE(HoldsText(bytes, size, ZEM_PRODUCT_VERSION)) << ZEM_PRODUCT_VERSION;
}

}  // namespace
