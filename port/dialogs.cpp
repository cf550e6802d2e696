// The dialog manager of the POSIX build: dialogs and their controls built from
// the templates in resources/, one message queue per thread, the modal loop,
// control messages, focus, message boxes and a virtual screen. What the
// operator sees and does is the business of a front end (port/frontend.h).
//
// Window handles are opaque numbers that are never reused, so a call on a
// destroyed window finds nothing and fails instead of touching freed memory.
// One lock guards every window and queue; dialog procedures and front ends are
// always called with the lock released, since they call back in.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
#include "port/frontend.h"
#include "port/system.h"
#include "port/win32.h"
#include "resources/dialog_defs.h"

namespace {

// 8-point MS Sans Serif: 6 x 13 pixels per character cell, 4 x 8 dialog units.
constexpr LONG DluToPixelsX(int units) { return units * 6 / 4; }
constexpr LONG DluToPixelsY(int units) { return units * 13 / 8; }
constexpr LONG kFrameWidth = 3;     // dialog frame, each side
constexpr LONG kCaptionHeight = 19; // caption bar
static_assert(DluToPixelsX(4) == 6 && DluToPixelsY(8) == 13, "base units of the dialog font");

// Windows' edit boxes take up to 30000 characters unless told otherwise; no control here holds more.
constexpr std::size_t kTextLimit = 30000;

// The view's fields are the control's state; its rectangle is kept relative to the
// dialog's client area and turned into screen coordinates for a view.
struct PortControl : PortControlView {
  bool destroyed;
};

struct PortDialog {
  UINT_PTR handle;
  int templateId;
  DLGPROC procedure;
  DWORD thread;
  bool modal;
  bool visible;
  bool ended;
  bool destroying;
  bool announced;  // the front end has been told it opened
  INT_PTR result;
  std::string caption;
  RECT rect;  // window rectangle, screen coordinates
  std::vector<PortControl> controls;
  int defaultButton;
};

struct PortThreadState {
  std::deque<MSG> queue;
  UINT_PTR focus = 0;
};

struct WindowRef {
  PortDialog* dialog = nullptr;
  PortControl* control = nullptr;  // null: the dialog itself
};

std::mutex g_lock;
std::map<UINT_PTR, std::unique_ptr<PortDialog>> g_dialogs;
std::map<UINT_PTR, UINT_PTR> g_controlOwner;  // control handle -> dialog handle
std::map<DWORD, std::unique_ptr<PortThreadState>> g_threads;
UINT_PTR g_nextHandle = 0x10000;
std::atomic<const PortFrontEnd*> g_frontEnd{nullptr};

HWND AsHwnd(UINT_PTR handle) { return reinterpret_cast<HWND>(handle); }
UINT_PTR AsHandle(HWND window) { return reinterpret_cast<UINT_PTR>(window); }

// Lock held.
PortThreadState& ThreadState(DWORD thread) {
  std::unique_ptr<PortThreadState>& slot = g_threads[thread];
  if (!slot) slot.reset(new PortThreadState);
  return *slot;
}

// Lock held.
WindowRef Find(HWND window) {
  WindowRef ref;
  if (window == nullptr) return ref;
  UINT_PTR handle = AsHandle(window);
  auto dialog = g_dialogs.find(handle);
  if (dialog != g_dialogs.end()) {
    ref.dialog = dialog->second.get();
    return ref;
  }
  auto owner = g_controlOwner.find(handle);
  if (owner == g_controlOwner.end()) return ref;
  auto parent = g_dialogs.find(owner->second);
  if (parent == g_dialogs.end()) return ref;
  for (PortControl& control : parent->second->controls) {
    if (AsHandle(control.handle) == handle && !control.destroyed) {
      ref.dialog = parent->second.get();
      ref.control = &control;
    }
  }
  return ref;
}

// The text a control shows: a drop-down list shows its selected entry.
std::string ControlText(const PortControl& control) {
  if (control.kind == ControlKind::ComboBox) {
    if (control.selection >= 0 && static_cast<std::size_t>(control.selection) < control.entries.size()) {
      return control.entries[static_cast<std::size_t>(control.selection)];
    }
    return std::string();
  }
  return control.text;
}

std::string Bounded(const char* text) {
  if (text == nullptr) return std::string();
  std::size_t length = strnlen(text, kTextLimit);
  return std::string(text, length);
}

int CopyOut(const std::string& text, LPSTR buffer, int capacity) {
  if (buffer == nullptr || capacity <= 0) return 0;
  return static_cast<int>(CopyText(buffer, static_cast<std::size_t>(capacity), text.c_str()));
}

// Front-end notifications, gathered under the lock and delivered after it is released.
struct Pending {
  HWND dialog = nullptr;
  bool any = false;
  PortChange change{PortEvent::Caption, 0, 0, 0, nullptr};
  std::string text;
};

void Queue(Pending& pending, const PortDialog& dialog, PortEvent event, int control, long value = 0,
           long value2 = 0, const std::string& text = std::string()) {
  if (!dialog.announced) return;
  pending.dialog = AsHwnd(dialog.handle);
  pending.any = true;
  pending.change = PortChange{event, control, value, value2, nullptr};
  pending.text = text;
}

void Deliver(Pending& pending) {
  if (!pending.any) return;
  const PortFrontEnd* frontEnd = g_frontEnd.load();
  if (frontEnd == nullptr || frontEnd->changed == nullptr) return;
  pending.change.text = pending.text.c_str();
  frontEnd->changed(pending.dialog, pending.change);
}

RECT ControlScreenRect(const PortDialog& dialog, const PortControl& control) {
  LONG left = dialog.rect.left + kFrameWidth;
  LONG top = dialog.rect.top + kFrameWidth + kCaptionHeight;
  return RECT{left + control.rect.left, top + control.rect.top, left + control.rect.right,
              top + control.rect.bottom};
}

// Lock held. The control message handling of the common controls that the product uses.
LRESULT ControlMessage(PortDialog& dialog, PortControl& control, UINT message, WPARAM wParam, LPARAM lParam,
                       Pending& pending) {
  switch (message) {
    case WM_SETTEXT: {
      std::string text = Bounded(reinterpret_cast<LPCSTR>(lParam));
      if (control.kind == ControlKind::ComboBox) {
        // A drop-down list cannot show a text of its own; it selects a matching entry.
        for (std::size_t i = 0; i < control.entries.size(); ++i) {
          if (control.entries[i] == text) control.selection = static_cast<int>(i);
        }
        Queue(pending, dialog, PortEvent::ComboSelect, control.id, control.selection);
        return TRUE;
      }
      control.text = text;
      Queue(pending, dialog, PortEvent::ControlText, control.id, 0, 0, control.text);
      return TRUE;
    }
    case WM_GETTEXT:
      return CopyOut(ControlText(control), reinterpret_cast<LPSTR>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(ControlText(control).size());
    default:
      break;
  }
  if (control.kind == ControlKind::ComboBox) {
    switch (message) {
      case CB_ADDSTRING: {
        if (lParam == 0) return CB_ERR;
        control.entries.push_back(Bounded(reinterpret_cast<LPCSTR>(lParam)));
        Queue(pending, dialog, PortEvent::ComboAdd, control.id, 0, 0, control.entries.back());
        return static_cast<LRESULT>(control.entries.size() - 1);
      }
      case CB_RESETCONTENT:
        control.entries.clear();
        control.selection = -1;
        Queue(pending, dialog, PortEvent::ComboSelect, control.id, -1);
        return 0;
      case CB_SETCURSEL: {
        INT_PTR index = static_cast<INT_PTR>(wParam);
        bool valid = index >= 0 && static_cast<std::size_t>(index) < control.entries.size();
        control.selection = valid ? static_cast<int>(index) : -1;
        Queue(pending, dialog, PortEvent::ComboSelect, control.id, control.selection);
        return valid ? index : CB_ERR;
      }
      case CB_GETCURSEL:
        return control.selection >= 0 ? control.selection : CB_ERR;
      case CB_GETCOUNT:
        return static_cast<LRESULT>(control.entries.size());
      case CB_GETLBTEXTLEN:
      case CB_GETLBTEXT: {
        INT_PTR index = static_cast<INT_PTR>(wParam);
        if (index < 0 || static_cast<std::size_t>(index) >= control.entries.size()) return CB_ERR;
        const std::string& entry = control.entries[static_cast<std::size_t>(index)];
        if (message == CB_GETLBTEXT) {
          // As on Windows the caller's buffer must hold the entry (CB_GETLBTEXTLEN + 1).
          if (lParam == 0) return CB_ERR;
          std::memcpy(reinterpret_cast<char*>(lParam), entry.c_str(), entry.size() + 1);
        }
        return static_cast<LRESULT>(entry.size());
      }
      default:
        return 0;
    }
  }
  if (control.kind == ControlKind::Progress) {
    auto clamp = [&control](long value) {
      if (value < control.rangeLow) return static_cast<long>(control.rangeLow);
      if (value > control.rangeHigh) return static_cast<long>(control.rangeHigh);
      return value;
    };
    switch (message) {
      case PBM_SETRANGE:
      case PBM_SETRANGE32: {
        LRESULT previous = MAKELPARAM(control.rangeLow, control.rangeHigh);
        if (message == PBM_SETRANGE) {
          control.rangeLow = LOWORD(lParam);
          control.rangeHigh = HIWORD(lParam);
        } else {
          control.rangeLow = static_cast<int>(wParam);
          control.rangeHigh = static_cast<int>(lParam);
        }
        control.position = static_cast<int>(clamp(control.position));
        Queue(pending, dialog, PortEvent::ProgressRange, control.id, control.rangeLow, control.rangeHigh);
        return previous;
      }
      case PBM_SETPOS:
      case PBM_DELTAPOS: {
        LRESULT previous = control.position;
        long wanted = static_cast<long>(static_cast<int>(wParam));
        if (message == PBM_DELTAPOS) wanted += control.position;
        control.position = static_cast<int>(clamp(wanted));
        Queue(pending, dialog, PortEvent::ProgressPos, control.id, control.position);
        return previous;
      }
      case PBM_GETPOS:
        return control.position;
      default:
        return 0;
    }
  }
  return 0;
}

// Calls the dialog procedure with the lock released. 0 when the dialog is gone.
INT_PTR CallProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DLGPROC procedure = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    WindowRef ref = Find(window);
    if (ref.dialog == nullptr || ref.control != nullptr) return 0;
    procedure = ref.dialog->procedure;
  }
  return procedure != nullptr ? procedure(window, message, wParam, lParam) : 0;
}

// The platform's part of a command: WM_COMMAND from a control, as a click sends it.
INT_PTR SendCommand(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return CallProcedure(dialog, WM_COMMAND, static_cast<WPARAM>(static_cast<WORD>(id)),
                       reinterpret_cast<LPARAM>(control));
}

// Enter presses the focused push button, else the template's default push button,
// else IDOK; Escape is IDCANCEL.
void DialogKey(HWND dialog, WPARAM key) {
  int command = 0;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    WindowRef ref = Find(dialog);
    if (ref.dialog == nullptr) return;
    if (key == VK_ESCAPE) {
      command = IDCANCEL;
    } else if (key == VK_RETURN) {
      command = ref.dialog->defaultButton >= 0 ? ref.dialog->defaultButton : IDOK;
      WindowRef focus = Find(AsHwnd(ThreadState(ref.dialog->thread).focus));
      if (focus.dialog == ref.dialog && focus.control != nullptr && IsPushButton(focus.control->kind)) {
        command = focus.control->id;
      }
    }
  }
  if (command != 0) SendCommand(dialog, command);
}

// A message for a dialog: its procedure first, then the platform's dialog handling.
LRESULT DialogMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_KEYDOWN) {
    // Keys never reach the procedure: the platform turns them into commands.
    DialogKey(dialog, wParam);
    return 0;
  }
  INT_PTR answer = CallProcedure(dialog, message, wParam, lParam);
  if (answer != 0) return answer;
  if (message == WM_CLOSE) {
    SendCommand(dialog, IDCANCEL);
    return 0;
  }
  Pending pending;
  LRESULT result = 0;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    WindowRef ref = Find(dialog);
    if (ref.dialog == nullptr) return 0;
    if (message == WM_SETTEXT) {
      ref.dialog->caption = Bounded(reinterpret_cast<LPCSTR>(lParam));
      Queue(pending, *ref.dialog, PortEvent::Caption, 0, 0, 0, ref.dialog->caption);
      result = TRUE;
    } else if (message == WM_GETTEXT) {
      result = CopyOut(ref.dialog->caption, reinterpret_cast<LPSTR>(lParam), static_cast<int>(wParam));
    } else if (message == WM_GETTEXTLENGTH) {
      result = static_cast<LRESULT>(ref.dialog->caption.size());
    }
  }
  Deliver(pending);
  return result;
}

HWND CreateDialogWindow(LPCSTR templateName, DLGPROC procedure, LPARAM parameter, bool modal) {
  if (templateName == nullptr || !IS_INTRESOURCE(templateName)) return nullptr;
  int id = static_cast<int>(reinterpret_cast<UINT_PTR>(templateName));
  const DialogDef* def = PortSystemInUse().dialogTemplate(id);
  if (def == nullptr) return nullptr;

  HWND window = nullptr;
  HWND firstTabStop = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    std::unique_ptr<PortDialog> dialog(new PortDialog);
    dialog->handle = g_nextHandle;
    g_nextHandle += 4;
    dialog->templateId = def->id;
    dialog->procedure = procedure;
    dialog->thread = GetCurrentThreadId();
    dialog->modal = modal;
    dialog->visible = false;
    dialog->ended = false;
    dialog->destroying = false;
    dialog->announced = false;
    dialog->result = 0;
    dialog->caption = Bounded(def->caption);
    LONG left = DluToPixelsX(def->x);
    LONG top = DluToPixelsY(def->y);
    dialog->rect = RECT{left, top, left + DluToPixelsX(def->width) + 2 * kFrameWidth,
                        top + DluToPixelsY(def->height) + 2 * kFrameWidth + kCaptionHeight};
    dialog->defaultButton = -1;
    for (std::size_t i = 0; i < def->controlCount; ++i) {
      const ControlDef& source = def->controls[i];
      PortControl control;
      control.handle = AsHwnd(g_nextHandle);
      g_nextHandle += 4;
      control.id = source.id;
      control.kind = source.kind;
      control.flags = source.flags;
      // The address control shows four empty fields whatever its window name says.
      bool showsTemplateText = source.kind != ControlKind::IpAddress && source.kind != ControlKind::Icon &&
                               source.kind != ControlKind::ComboBox;
      control.text = showsTemplateText ? Bounded(source.text) : std::string();
      control.selection = -1;
      control.rangeLow = 0;
      control.rangeHigh = 100;
      control.position = 0;
      control.rect = RECT{DluToPixelsX(source.x), DluToPixelsY(source.y), DluToPixelsX(source.x + source.width),
                          DluToPixelsY(source.y + source.height)};
      control.destroyed = false;
      if (source.kind == ControlKind::DefPushButton && dialog->defaultButton < 0) dialog->defaultButton = source.id;
      if (firstTabStop == nullptr && (source.flags & kTabStop) != 0) firstTabStop = control.handle;
      g_controlOwner[AsHandle(control.handle)] = dialog->handle;
      dialog->controls.push_back(control);
    }
    window = AsHwnd(dialog->handle);
    ThreadState(dialog->thread);
    g_dialogs[dialog->handle] = std::move(dialog);
  }

  INT_PTR answer = CallProcedure(window, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop), parameter);
  if (answer != 0 && firstTabStop != nullptr && IsWindow(window)) SetFocus(firstTabStop);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    WindowRef ref = Find(window);
    if (ref.dialog == nullptr) return modal ? window : nullptr;
    if (modal) ref.dialog->visible = true;
    ref.dialog->announced = true;
  }
  const PortFrontEnd* frontEnd = g_frontEnd.load();
  if (frontEnd != nullptr && frontEnd->opened != nullptr) frontEnd->opened(window);
  return window;
}

}  // namespace

// ---- the front end's calls -----------------------------------------------------------
void PortSetFrontEnd(const PortFrontEnd* frontEnd) { g_frontEnd.store(frontEnd); }

bool PortViewDialog(HWND window, PortDialogView* view) {
  if (view == nullptr) return false;
  std::lock_guard<std::mutex> hold(g_lock);
  WindowRef ref = Find(window);
  if (ref.dialog == nullptr || ref.control != nullptr) return false;
  const PortDialog& dialog = *ref.dialog;
  view->handle = window;
  view->templateId = dialog.templateId;
  view->modal = dialog.modal;
  view->visible = dialog.visible;
  view->thread = dialog.thread;
  view->caption = dialog.caption;
  view->defaultButtonId = dialog.defaultButton;
  view->rect = dialog.rect;
  view->focusId = -1;
  UINT_PTR focus = ThreadState(dialog.thread).focus;
  if (focus == dialog.handle) view->focusId = 0;
  view->controls.clear();
  for (const PortControl& control : dialog.controls) {
    if (control.destroyed) continue;
    if (AsHandle(control.handle) == focus) view->focusId = control.id;
    PortControlView item = control;
    item.text = ControlText(control);
    item.rect = ControlScreenRect(dialog, control);
    view->controls.push_back(item);
  }
  return true;
}

BOOL PortPressButton(HWND dialog, int id) {
  HWND button = GetDlgItem(dialog, id);
  return PostMessageA(dialog, WM_COMMAND, static_cast<WPARAM>(static_cast<WORD>(id)),
                      reinterpret_cast<LPARAM>(button));
}

BOOL PortPressKey(HWND dialog, int virtualKey) {
  HWND target = dialog;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    WindowRef ref = Find(dialog);
    if (ref.dialog == nullptr) return FALSE;
    WindowRef focus = Find(AsHwnd(ThreadState(ref.dialog->thread).focus));
    if (focus.dialog == ref.dialog) target = AsHwnd(ThreadState(ref.dialog->thread).focus);
  }
  return PostMessageA(target, WM_KEYDOWN, static_cast<WPARAM>(virtualKey), 0);
}

BOOL PortPressClose(HWND dialog) { return PostMessageA(dialog, WM_CLOSE, 0, 0); }

// ---- the Win32 calls ------------------------------------------------------------------
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX*) { return TRUE; }

INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR templateName, HWND, DLGPROC procedure, LPARAM parameter) {
  HWND dialog = CreateDialogWindow(templateName, procedure, parameter, true);
  if (dialog == nullptr) return -1;
  bool askedToClose = false;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(g_lock);
      WindowRef ref = Find(dialog);
      if (ref.dialog == nullptr || ref.dialog->ended || ref.dialog->destroying) break;
    }
    MSG message;
    if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
      continue;
    }
    const PortFrontEnd* frontEnd = g_frontEnd.load();
    if (frontEnd != nullptr && frontEnd->modalIdle != nullptr) {
      frontEnd->modalIdle(dialog);
    } else if (!askedToClose) {
      // Nobody to answer: the dialog is closed as with its close box.
      askedToClose = true;
      PortPressClose(dialog);
    } else {
      EndDialog(dialog, 0);
    }
  }
  INT_PTR result = -1;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    WindowRef ref = Find(dialog);
    if (ref.dialog == nullptr) return -1;
    if (ref.dialog->ended) result = ref.dialog->result;
  }
  DestroyWindow(dialog);
  return result;
}

HWND CreateDialogParamA(HINSTANCE, LPCSTR templateName, HWND, DLGPROC procedure, LPARAM parameter) {
  HWND dialog = CreateDialogWindow(templateName, procedure, parameter, false);
  return IsWindow(dialog) ? dialog : nullptr;
}

BOOL EndDialog(HWND window, INT_PTR result) {
  Pending pending;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    WindowRef ref = Find(window);
    if (ref.dialog == nullptr || ref.control != nullptr) return FALSE;
    ref.dialog->ended = true;
    ref.dialog->result = result;
    if (!ref.dialog->modal && ref.dialog->visible) {
      ref.dialog->visible = false;
      Queue(pending, *ref.dialog, PortEvent::Hidden, 0);
    }
  }
  Deliver(pending);
  return TRUE;
}

BOOL ShowWindow(HWND window, int command) {
  Pending pending;
  BOOL wasVisible = FALSE;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    WindowRef ref = Find(window);
    if (ref.dialog == nullptr || ref.control != nullptr) return FALSE;
    wasVisible = ref.dialog->visible ? TRUE : FALSE;
    bool show = command != SW_HIDE;
    if (show != ref.dialog->visible) {
      ref.dialog->visible = show;
      Queue(pending, *ref.dialog, show ? PortEvent::Shown : PortEvent::Hidden, 0);
    }
  }
  Deliver(pending);
  return wasVisible;
}

BOOL DestroyWindow(HWND window) {
  INT_PTR result = 0;
  bool announced = false;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    WindowRef ref = Find(window);
    if (ref.dialog == nullptr) return FALSE;
    if (ref.control != nullptr) {
      ref.control->destroyed = true;
      g_controlOwner.erase(AsHandle(ref.control->handle));
      return TRUE;
    }
    if (ref.dialog->destroying) return FALSE;
    ref.dialog->destroying = true;
    ref.dialog->visible = false;
    announced = ref.dialog->announced;
    result = ref.dialog->ended ? ref.dialog->result : -1;
  }
  const PortFrontEnd* frontEnd = g_frontEnd.load();
  if (announced && frontEnd != nullptr && frontEnd->closed != nullptr) frontEnd->closed(window, result);
  CallProcedure(window, WM_DESTROY, 0, 0);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = g_dialogs.find(AsHandle(window));
    if (found == g_dialogs.end()) return TRUE;
    PortDialog& dialog = *found->second;
    PortThreadState& state = ThreadState(dialog.thread);
    auto belongs = [&dialog](UINT_PTR handle) {
      if (handle == dialog.handle) return true;
      for (const PortControl& control : dialog.controls) {
        if (AsHandle(control.handle) == handle) return true;
      }
      return false;
    };
    if (belongs(state.focus)) state.focus = 0;
    for (auto message = state.queue.begin(); message != state.queue.end();) {
      if (belongs(AsHandle(message->hwnd))) {
        message = state.queue.erase(message);
      } else {
        ++message;
      }
    }
    for (const PortControl& control : dialog.controls) g_controlOwner.erase(AsHandle(control.handle));
    g_dialogs.erase(found);
  }
  return TRUE;
}

BOOL IsWindow(HWND window) {
  std::lock_guard<std::mutex> hold(g_lock);
  return Find(window).dialog != nullptr ? TRUE : FALSE;
}

BOOL SetWindowTextA(HWND window, LPCSTR text) {
  return SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text != nullptr ? text : "")) != 0 ? TRUE
                                                                                                       : FALSE;
}

int GetWindowTextA(HWND window, LPSTR text, int capacity) {
  if (text != nullptr && capacity > 0) text[0] = '\0';
  std::lock_guard<std::mutex> hold(g_lock);
  WindowRef ref = Find(window);
  if (ref.dialog == nullptr) return 0;
  return CopyOut(ref.control != nullptr ? ControlText(*ref.control) : ref.dialog->caption, text, capacity);
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  HWND control = GetDlgItem(dialog, id);
  return control != nullptr ? SetWindowTextA(control, text) : FALSE;
}

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR text, int capacity) {
  if (text != nullptr && capacity > 0) text[0] = '\0';
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return 0;
  return static_cast<UINT>(GetWindowTextA(control, text, capacity));
}

HWND GetDlgItem(HWND dialog, int id) {
  std::lock_guard<std::mutex> hold(g_lock);
  WindowRef ref = Find(dialog);
  if (ref.dialog == nullptr || ref.control != nullptr) return nullptr;
  for (const PortControl& control : ref.dialog->controls) {
    if (control.id == id && !control.destroyed) return control.handle;
  }
  return nullptr;
}

int GetDlgCtrlID(HWND window) {
  std::lock_guard<std::mutex> hold(g_lock);
  WindowRef ref = Find(window);
  return ref.control != nullptr ? ref.control->id : 0;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Pending pending;
  LRESULT result = 0;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    WindowRef ref = Find(window);
    if (ref.dialog == nullptr) return 0;
    if (ref.control != nullptr) {
      if (message == WM_KEYDOWN) {
        window = AsHwnd(ref.dialog->handle);  // the dialog takes its controls' keys
      } else {
        result = ControlMessage(*ref.dialog, *ref.control, message, wParam, lParam, pending);
        window = nullptr;
      }
    }
  }
  if (window == nullptr) {
    Deliver(pending);
    return result;
  }
  return DialogMessage(window, message, wParam, lParam);
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
  HWND control = GetDlgItem(dialog, id);
  return control != nullptr ? SendMessageA(control, message, wParam, lParam) : 0;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> hold(g_lock);
  DWORD thread = GetCurrentThreadId();
  if (window != nullptr) {
    WindowRef ref = Find(window);
    if (ref.dialog == nullptr || ref.dialog->destroying) return FALSE;
    thread = ref.dialog->thread;
  }
  MSG posted{};
  posted.hwnd = window;
  posted.message = message;
  posted.wParam = wParam;
  posted.lParam = lParam;
  posted.time = timeGetTime();
  ThreadState(thread).queue.push_back(posted);
  return TRUE;
}

HWND SetFocus(HWND window) {
  Pending pending;
  HWND previous = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    PortThreadState& state = ThreadState(GetCurrentThreadId());
    if (Find(AsHwnd(state.focus)).dialog != nullptr) previous = AsHwnd(state.focus);
    if (window == nullptr) {
      state.focus = 0;
      return previous;
    }
    WindowRef ref = Find(window);
    // Like the platform's focus, it belongs to a thread: another thread's window cannot take it here.
    if (ref.dialog == nullptr || ref.dialog->thread != GetCurrentThreadId()) return nullptr;
    state.focus = AsHandle(window);
    Queue(pending, *ref.dialog, PortEvent::Focus, ref.control != nullptr ? ref.control->id : 0);
  }
  Deliver(pending);
  return previous;
}

HWND GetFocus() {
  std::lock_guard<std::mutex> hold(g_lock);
  PortThreadState& state = ThreadState(GetCurrentThreadId());
  return Find(AsHwnd(state.focus)).dialog != nullptr ? AsHwnd(state.focus) : nullptr;
}

BOOL PeekMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT remove) {
  if (message == nullptr) return FALSE;
  std::lock_guard<std::mutex> hold(g_lock);
  UINT_PTR wanted = 0;
  if (window != nullptr) {
    WindowRef ref = Find(window);
    if (ref.dialog == nullptr) return FALSE;
    wanted = AsHandle(window);
  }
  PortThreadState& state = ThreadState(GetCurrentThreadId());
  for (auto waiting = state.queue.begin(); waiting != state.queue.end(); ++waiting) {
    if (filterMin != 0 || filterMax != 0) {
      if (waiting->message < filterMin || waiting->message > filterMax) continue;
    }
    if (wanted != 0) {
      WindowRef target = Find(waiting->hwnd);
      bool forWindow = AsHandle(waiting->hwnd) == wanted ||
                       (target.dialog != nullptr && target.dialog->handle == wanted);
      if (!forWindow) continue;
    }
    *message = *waiting;
    if ((remove & PM_REMOVE) != 0) state.queue.erase(waiting);
    return TRUE;
  }
  return FALSE;
}

BOOL TranslateMessage(const MSG* message) {
  return message != nullptr && message->message == WM_KEYDOWN ? TRUE : FALSE;
}

LRESULT DispatchMessageA(const MSG* message) {
  if (message == nullptr || message->hwnd == nullptr) return 0;
  return SendMessageA(message->hwnd, message->message, message->wParam, message->lParam);
}

BOOL GetWindowRect(HWND window, LPRECT rect) {
  if (rect == nullptr) return FALSE;
  std::lock_guard<std::mutex> hold(g_lock);
  WindowRef ref = Find(window);
  if (ref.dialog == nullptr) return FALSE;
  *rect = ref.control != nullptr ? ControlScreenRect(*ref.dialog, *ref.control) : ref.dialog->rect;
  return TRUE;
}

int GetSystemMetrics(int index) {
  int width = 0, height = 0;
  PortSystemInUse().screenSize(&width, &height);
  if (index == SM_CXSCREEN) return width;
  if (index == SM_CYSCREEN) return height;
  return 0;
}

BOOL SetWindowPos(HWND window, HWND, int x, int y, int cx, int cy, UINT flags) {
  std::lock_guard<std::mutex> hold(g_lock);
  WindowRef ref = Find(window);
  if (ref.dialog == nullptr) return FALSE;
  RECT& rect = ref.control != nullptr ? ref.control->rect : ref.dialog->rect;
  LONG width = rect.right - rect.left;
  LONG height = rect.bottom - rect.top;
  if ((flags & SWP_NOSIZE) == 0) {
    width = cx;
    height = cy;
  }
  if ((flags & SWP_NOMOVE) == 0) {
    rect.left = x;
    rect.top = y;
  }
  rect.right = rect.left + width;
  rect.bottom = rect.top + height;
  return TRUE;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  // A missing caption reads "Error", as on the platform.
  const char* shownCaption = caption != nullptr ? caption : "Error";
  const char* shownText = text != nullptr ? text : "";
  const PortFrontEnd* frontEnd = g_frontEnd.load();
  if (frontEnd != nullptr && frontEnd->messageBox != nullptr) {
    return frontEnd->messageBox(owner, shownText, shownCaption, type);
  }
  std::fprintf(stderr, "[%s] %s\n", shownCaption, shownText);
  return IDOK;
}
