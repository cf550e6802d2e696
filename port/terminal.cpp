// The terminal front end of the dialog manager: the shipped program's dialogs,
// drawn line by line on standard output and answered on standard input.
//
// A modal dialog is written out as its caption and texts, then asks for each
// entry field in template order and last for a button; Enter alone does what
// the platform's Enter does (the focused push button, else the default one).
// Modeless dialogs are status lines at the bottom (caption and progress bar),
// redrawn in place on a terminal; "c" then Enter presses their Cancel. Message
// boxes wait for Enter. Only one question is asked at a time: a thread that
// wants to ask waits for its turn, blocking only itself.
//
// Input is read a line at a time by one reader thread. Lines typed ahead are
// kept for the next question, except on a terminal while only progress lines
// are up (a stray Enter there must not answer the next dialog). The end of the input answers every question as Cancel
// (a message box as OK).
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "port/frontend.h"
#include "port/win32.h"

namespace {

constexpr std::size_t kScreenWidth = 80;
constexpr std::size_t kLineWidth = kScreenWidth - 1;  // never write the last column
constexpr std::size_t kLineLimit = 4096;              // longer input lines are cut
constexpr int kBarWidth = 20;
constexpr auto kRedrawPause = std::chrono::milliseconds(100);
constexpr auto kCaptionLinePause = std::chrono::seconds(1);

struct StatusDialog {
  HWND dialog;
  int number;  // "c<number>" cancels it
  bool hasCancel;
  std::string caption;
  int low, high, position;
  bool hasProgress;
  std::chrono::steady_clock::time_point lastLine;  // without a terminal: the last caption line written
};

std::mutex g_lock;  // output, status lines and the input queue
std::condition_variable g_input;
std::deque<std::string> g_lines;
bool g_endOfInput = false;
int g_asking = 0;  // questions waiting for a line
std::vector<StatusDialog> g_status;
std::size_t g_statusDrawn = 0;  // status lines on screen below the last output
std::chrono::steady_clock::time_point g_lastDraw;
bool g_inputIsTerminal = false;
bool g_outputIsTerminal = false;
termios g_savedTerminal;
bool g_echoOff = false;

std::mutex g_turn;  // one question at a time

void WriteOut(const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(STDOUT_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::string Cut(const std::string& text, std::size_t width) {
  return text.size() <= width ? text : text.substr(0, width - 3) + "...";
}

// Lock held.
std::string StatusLine(const StatusDialog& status) {
  char tail[64] = "";
  if (status.hasProgress) {
    int span = status.high - status.low;
    int done = span > 0 ? (status.position - status.low) * kBarWidth / span : 0;
    int percent = span > 0 ? (status.position - status.low) * 100 / span : 0;
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i) bar[i] = i < done ? '#' : '.';
    bar[kBarWidth] = '\0';
    std::snprintf(tail, sizeof tail, " [%s] %3d%%", bar, percent);
  }
  char label[16];
  std::snprintf(label, sizeof label, "c%d ", status.number);
  std::string line = status.hasCancel ? label : "   ";
  std::size_t room = kLineWidth - line.size() - std::strlen(tail);
  return line + Cut(status.caption, room) + tail;
}

// Lock held.
std::string CancelHint() {
  std::vector<int> numbers;
  for (const StatusDialog& status : g_status) {
    if (status.hasCancel) numbers.push_back(status.number);
  }
  if (numbers.empty()) return std::string();
  if (numbers.size() == 1) return "(type c then Enter to cancel)";
  std::string hint = "(type";
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    hint += i == 0 ? " c" : " or c";
    hint += std::to_string(numbers[i]);
  }
  return hint + " then Enter to cancel that one)";
}

// Lock held. Removes the status lines from the screen; the cursor goes where they began.
void EraseStatus() {
  if (g_statusDrawn == 0) return;
  std::string erase = "\r\033[K";
  for (std::size_t i = 1; i < g_statusDrawn; ++i) erase += "\033[A\033[K";
  WriteOut(erase);
  g_statusDrawn = 0;
}

// Lock held. Draws the status lines (terminal only, and never under a question).
void DrawStatus() {
  if (!g_outputIsTerminal || g_asking > 0 || g_status.empty()) return;
  std::string lines;
  for (const StatusDialog& status : g_status) lines += StatusLine(status) + "\n";
  std::string hint = CancelHint();
  lines += hint.empty() ? std::string("") : hint;
  std::size_t count = g_status.size() + 1;
  if (hint.empty()) {
    lines.pop_back();
    --count;
  }
  WriteOut(lines);
  g_statusDrawn = count;
  g_lastDraw = std::chrono::steady_clock::now();
}

// Lock held. Normal output above the status lines.
void Print(const std::string& text) {
  EraseStatus();
  WriteOut(text);
  DrawStatus();
}

// Splits a text at its line breaks (CR LF, LF or CR) and wraps each line at width.
std::vector<std::string> Lines(const std::string& text, std::size_t width) {
  std::vector<std::string> lines;
  std::string line;
  auto flush = [&]() {
    while (line.size() > width) {
      std::size_t cut = line.rfind(' ', width);
      if (cut == std::string::npos || cut == 0) cut = width;
      lines.push_back(line.substr(0, cut));
      line.erase(0, cut < line.size() && line[cut] == ' ' ? cut + 1 : cut);
    }
    lines.push_back(line);
    line.clear();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      flush();
    } else {
      line += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
    }
  }
  if (!line.empty()) flush();
  return lines;
}

std::string Block(const std::string& text, const char* indent = "") {
  std::string out;
  for (const std::string& line : Lines(text, kLineWidth - std::strlen(indent))) out += indent + line + "\n";
  return out;
}

void SetEcho(bool on) {
  if (!g_inputIsTerminal) return;
  termios now;
  if (tcgetattr(STDIN_FILENO, &now) != 0) return;
  if (on) {
    now.c_lflag |= ECHO;
  } else {
    now.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &now);
  g_echoOff = !on;
}

// Asks a question and waits for its line; false at the end of the input.
bool Ask(const std::string& prompt, std::string* answer, bool hidden = false) {
  std::unique_lock<std::mutex> hold(g_lock);
  EraseStatus();
  ++g_asking;
  if (hidden) SetEcho(false);
  WriteOut(prompt);
  g_input.wait(hold, [] { return !g_lines.empty() || g_endOfInput; });
  bool got = !g_lines.empty();
  if (got) {
    *answer = g_lines.front();
    g_lines.pop_front();
  } else {
    answer->clear();
  }
  if (hidden) {
    SetEcho(true);
    WriteOut("\n");  // the Enter was not echoed
  } else if (!got) {
    WriteOut("\n");
  }
  --g_asking;
  DrawStatus();
  return got;
}

std::string Lower(std::string text) {
  for (char& c : text) c = FoldCase(c);
  return text;
}

std::string Trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

bool ParseChoice(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text.size() > 6) return false;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n < low || n > high) return false;
  *value = n;
  return true;
}

// Lines the operator types while no question is asked: "c" or "cN" cancels a modeless dialog.
// Lock held. True when the line was a cancel.
bool CancelFromLine(const std::string& line) {
  std::string word = Lower(Trim(line));
  if (word.empty() || word[0] != 'c' || g_status.empty()) return false;
  const StatusDialog* target = nullptr;
  if (word == "c") {
    for (const StatusDialog& status : g_status) {
      if (status.hasCancel) target = &status;  // the newest
    }
  } else {
    int number = 0;
    if (!ParseChoice(word.substr(1), 1, 99, &number)) return false;
    for (const StatusDialog& status : g_status) {
      if (status.number == number && status.hasCancel) target = &status;
    }
  }
  if (target == nullptr) return false;
  PortPressButton(target->dialog, IDCANCEL);
  return true;
}

void ReadInput() {
  std::string line;
  char chunk[256];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> hold(g_lock);
    if (n <= 0) {
      if (!line.empty()) g_lines.push_back(line);
      g_endOfInput = true;
      g_input.notify_all();
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      char c = chunk[i];
      if (c == '\n') {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // While only progress lines are up, a stray Enter must not answer the next dialog.
        bool stale = g_asking == 0 && g_inputIsTerminal && !g_status.empty();
        if (g_asking > 0 || !CancelFromLine(line)) {
          if (!stale) g_lines.push_back(line);
        }
        line.clear();
      } else if (line.size() < kLineLimit) {
        line += c;
      }
    }
    g_input.notify_all();
  }
}

// ---- modal dialogs -------------------------------------------------------------------
bool IsField(const PortControlView& control) {
  return control.kind == ControlKind::IpAddress || control.kind == ControlKind::ComboBox ||
         (control.kind == ControlKind::Edit && (control.flags & kReadOnly) == 0);
}

// The static text standing left of a control on its line, if any.
const PortControlView* LabelOf(const PortDialogView& view, const PortControlView& control) {
  for (const PortControlView& label : view.controls) {
    if (label.kind != ControlKind::Static || label.text.empty()) continue;
    LONG middle = (label.rect.top + label.rect.bottom) / 2;
    if (middle >= control.rect.top - 6 && middle <= control.rect.top + 26 && label.rect.right <= control.rect.left + 4) {
      return &label;
    }
  }
  return nullptr;
}

bool IsLabel(const PortDialogView& view, const PortControlView& candidate) {
  for (const PortControlView& control : view.controls) {
    bool labelled = IsField(control) ||
                    (control.kind == ControlKind::Edit && (control.flags & kMultiLine) == 0);
    if (labelled && LabelOf(view, control) == &candidate) return true;
  }
  return false;
}

// Controls as the eye reads the dialog: top to bottom, then left to right.
std::vector<const PortControlView*> ScreenOrder(const PortDialogView& view) {
  std::vector<const PortControlView*> order;
  for (const PortControlView& control : view.controls) order.push_back(&control);
  std::stable_sort(order.begin(), order.end(), [](const PortControlView* a, const PortControlView* b) {
    return a->rect.top != b->rect.top ? a->rect.top < b->rect.top : a->rect.left < b->rect.left;
  });
  return order;
}

std::string FieldName(const PortDialogView& view, const PortControlView& control) {
  if (const PortControlView* label = LabelOf(view, control)) return label->text;
  if (control.kind == ControlKind::IpAddress) return "IP address";
  return "Entry " + std::to_string(control.id);
}

std::string Render(const PortDialogView& view) {
  std::string out = "\n== " + Cut(view.caption, kLineWidth - 6) + " ==\n";
  for (const PortControlView* shown : ScreenOrder(view)) {
    const PortControlView& control = *shown;
    if (control.kind == ControlKind::Static && !IsLabel(view, control) && !control.text.empty()) {
      out += Block(control.text);
    } else if (control.kind == ControlKind::Edit && (control.flags & kReadOnly) != 0) {
      if ((control.flags & kMultiLine) != 0) {
        if (!control.text.empty()) out += Block(control.text);
      } else {
        const PortControlView* label = LabelOf(view, control);
        out += Block(label != nullptr ? label->text + ": " + control.text : control.text);
      }
    }
  }
  return out;
}

// The button Enter presses: the focused push button, else the default one, else IDOK.
int EnterButton(const PortDialogView& view) {
  for (const PortControlView& control : view.controls) {
    if (control.id == view.focusId && IsPushButton(control.kind)) return control.id;
  }
  return view.defaultButtonId >= 0 ? view.defaultButtonId : IDOK;
}

// Asks for each entry field; false at the end of the input.
bool AskFields(const PortDialogView& view) {
  for (const PortControlView* field : ScreenOrder(view)) {
    const PortControlView& control = *field;
    if (!IsField(control)) continue;
    std::string name = FieldName(view, control);
    std::string answer;
    if (control.kind == ControlKind::ComboBox) {
      if (control.entries.empty()) {
        std::lock_guard<std::mutex> hold(g_lock);
        Print(name + ": (no entries)\n");
        continue;
      }
      std::string list = name + ":\n";
      for (std::size_t i = 0; i < control.entries.size(); ++i) {
        list += "  " + std::to_string(i + 1) + ") " + Cut(control.entries[i], kLineWidth - 8) + "\n";
      }
      {
        std::lock_guard<std::mutex> hold(g_lock);
        Print(list);
      }
      int current = control.selection >= 0 ? control.selection + 1 : 1;
      for (;;) {
        if (!Ask("Choose 1-" + std::to_string(control.entries.size()) + " [" + std::to_string(current) + "]: ",
                 &answer)) {
          return false;
        }
        answer = Trim(answer);
        int chosen = current;
        if (answer.empty() || ParseChoice(answer, 1, static_cast<int>(control.entries.size()), &chosen)) {
          SendMessageA(control.handle, CB_SETCURSEL, static_cast<WPARAM>(chosen - 1), 0);
          break;
        }
      }
      continue;
    }
    bool hidden = (control.flags & kPassword) != 0;
    std::string shown = hidden || control.text.empty() ? std::string() : " [" + Cut(control.text, 40) + "]";
    std::string prompt = name + shown + (hidden ? " (not shown while typed)" : "") + ": ";
    if (!Ask(prompt, &answer, hidden)) return false;
    // Enter alone keeps what the field holds, as tabbing past it would.
    if (!answer.empty()) SetWindowTextA(control.handle, answer.c_str());
  }
  return true;
}

void AskButton(HWND dialog, const PortDialogView& view) {
  std::vector<const PortControlView*> buttons;
  for (const PortControlView& control : view.controls) {
    if (IsPushButton(control.kind)) buttons.push_back(&control);
  }
  int enter = EnterButton(view);
  std::string menu;
  std::string enterName = "OK";
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    menu += "  " + std::to_string(i + 1) + ") " + buttons[i]->text;
    if (buttons[i]->id == enter) {
      menu += " (Enter)";
      enterName = buttons[i]->text;
    }
  }
  {
    std::lock_guard<std::mutex> hold(g_lock);
    Print((menu.empty() ? std::string() : menu + "\n"));
  }
  for (;;) {
    std::string answer;
    std::string prompt = "Enter = " + enterName + "; or type a button's number" +
                         (buttons.empty() ? std::string() : " (1-" + std::to_string(buttons.size()) + ")") +
                         ", or esc: ";
    if (!Ask(prompt, &answer)) {
      PortPressKey(dialog, VK_ESCAPE);
      return;
    }
    answer = Lower(Trim(answer));
    int chosen = 0;
    if (answer.empty()) {
      PortPressKey(dialog, VK_RETURN);
      return;
    }
    if (answer == "esc" || answer == "escape") {
      PortPressKey(dialog, VK_ESCAPE);
      return;
    }
    if (ParseChoice(answer, 1, static_cast<int>(buttons.size()), &chosen)) {
      PortPressButton(dialog, buttons[static_cast<std::size_t>(chosen - 1)]->id);
      return;
    }
    for (const PortControlView* button : buttons) {
      if (Lower(button->text) == answer) {
        PortPressButton(dialog, button->id);
        return;
      }
    }
  }
}

void ModalIdle(HWND dialog) {
  std::lock_guard<std::mutex> turn(g_turn);
  PortDialogView view;
  if (!PortViewDialog(dialog, &view)) return;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    Print(Render(view));
  }
  if (!AskFields(view)) {
    PortPressKey(dialog, VK_ESCAPE);
    return;
  }
  // The fields may have moved the focus no further; Enter is decided on the dialog as it stands.
  if (!PortViewDialog(dialog, &view)) return;
  AskButton(dialog, view);
}

// ---- modeless dialogs ------------------------------------------------------------------
// Lock held.
void ShowStatus(HWND dialog) {
  for (const StatusDialog& status : g_status) {
    if (status.dialog == dialog) return;
  }
  PortDialogView view;
  if (!PortViewDialog(dialog, &view)) return;
  StatusDialog status{dialog, 1, false, view.caption, 0, 100, 0, false, std::chrono::steady_clock::now()};
  for (bool taken = true; taken;) {
    taken = false;
    for (const StatusDialog& other : g_status) {
      if (other.number == status.number) {
        taken = true;
        ++status.number;
      }
    }
  }
  std::string texts;
  for (const PortControlView& control : view.controls) {
    if (control.kind == ControlKind::PushButton && control.id == IDCANCEL) status.hasCancel = true;
    if (control.kind == ControlKind::Progress && !status.hasProgress) {
      status.hasProgress = true;
      status.low = control.rangeLow;
      status.high = control.rangeHigh;
      status.position = control.position;
    }
    if (control.kind == ControlKind::Static && !control.text.empty()) texts += Block(control.text, "  ");
  }
  g_status.push_back(status);
  std::string opening = Cut(view.caption, kLineWidth) + "\n" + texts;
  if (!g_outputIsTerminal && status.hasCancel) opening += "  (type c then Enter to cancel)\n";
  Print(opening);
}

// Lock held.
void DropStatus(HWND dialog, bool announce) {
  for (auto status = g_status.begin(); status != g_status.end(); ++status) {
    if (status->dialog != dialog) continue;
    std::string caption = status->caption;
    EraseStatus();
    g_status.erase(status);
    if (announce && !g_outputIsTerminal) WriteOut(Cut(caption, kLineWidth - 9) + " - closed\n");
    DrawStatus();
    return;
  }
}

void Opened(HWND dialog) {
  PortDialogView view;
  if (!PortViewDialog(dialog, &view) || view.modal || !view.visible) return;
  std::lock_guard<std::mutex> hold(g_lock);
  ShowStatus(dialog);
}

void Changed(HWND dialog, const PortChange& change) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (change.event == PortEvent::Shown) {
    PortDialogView view;
    if (PortViewDialog(dialog, &view) && !view.modal) ShowStatus(dialog);
    return;
  }
  if (change.event == PortEvent::Hidden) {
    DropStatus(dialog, true);
    return;
  }
  for (StatusDialog& status : g_status) {
    if (status.dialog != dialog) continue;
    bool now = false;
    switch (change.event) {
      case PortEvent::Caption:
        status.caption = change.text != nullptr ? change.text : "";
        // Without a terminal to redraw on, only captions are worth a line of their own,
        // and not every one of a caption that counts the bytes of an upload.
        if (!g_outputIsTerminal && std::chrono::steady_clock::now() - status.lastLine >= kCaptionLinePause) {
          status.lastLine = std::chrono::steady_clock::now();
          WriteOut(Cut(status.caption, kLineWidth) + "\n");
        }
        break;
      case PortEvent::ProgressRange:
        status.low = static_cast<int>(change.value);
        status.high = static_cast<int>(change.value2);
        break;
      case PortEvent::ProgressPos:
        status.position = static_cast<int>(change.value);
        break;
      default:
        return;
    }
    if (!g_outputIsTerminal) return;
    now = std::chrono::steady_clock::now() - g_lastDraw >= kRedrawPause;
    if (now) {
      EraseStatus();
      DrawStatus();
    }
    return;
  }
}

void Closed(HWND dialog, INT_PTR) {
  std::lock_guard<std::mutex> hold(g_lock);
  DropStatus(dialog, true);
}

int MessageBoxOnTerminal(HWND, const char* text, const char* caption, UINT type) {
  std::lock_guard<std::mutex> turn(g_turn);
  bool hasCancel = (type & 0xFu) == MB_OKCANCEL;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    Print("\n-- " + Cut(caption, kLineWidth - 6) + " --\n" + Block(text));
  }
  std::string answer;
  bool got = Ask(hasCancel ? "Press Enter for OK, or type c then Enter for Cancel: " : "Press Enter for OK: ",
                 &answer);
  if (!got) return hasCancel ? IDCANCEL : IDOK;
  std::string word = Lower(Trim(answer));
  return hasCancel && (word == "c" || word == "cancel") ? IDCANCEL : IDOK;
}

void RestoreTerminal() {
  std::unique_lock<std::mutex> hold(g_lock, std::try_to_lock);
  if (g_echoOff) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
  if (g_statusDrawn > 0) WriteOut("\n");
}

const PortFrontEnd kTerminal = {Opened, Changed, Closed, ModalIdle, MessageBoxOnTerminal};

}  // namespace

void PortUseTerminal() {
  g_inputIsTerminal = isatty(STDIN_FILENO) != 0;
  g_outputIsTerminal = isatty(STDOUT_FILENO) != 0;
  if (g_inputIsTerminal) tcgetattr(STDIN_FILENO, &g_savedTerminal);
  PortSetFrontEndExit(RestoreTerminal);
  PortSetFrontEnd(&kTerminal);
  std::thread(ReadInput).detach();
}
