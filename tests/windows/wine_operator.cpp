// wine_operator: a test operator for zemupgrade.exe under Wine. It watches the
// program's top-level windows, recognises each dialog by its controls, writes
// what the dialog shows to a log (one JSON object a line) and answers it as a
// person would, from the plan on its command line:
//
//   wine_operator.exe --log FILE [--exe zemupgrade.exe] [--device A.B.C.D]
//       [--pc-entry N] [--user NAME] [--password TEXT]... [--cancel-at DIALOG]
//       [--start-seconds S] [--timeout-seconds S] [--shots DIR]
//
// DIALOG is notice, address, credentials, confirmation, connecting, waiting,
// uploading or success. With --shots, the first dialog of each kind is saved
// as DIR\KIND.bmp as it stands on the screen (the transfer dialog twice:
// uploading and updating; a message box as box.bmp). Buttons are pressed the way a click reports itself:
// WM_COMMAND with BN_CLICKED and the button's handle, posted to the dialog.
// The operator ends when the program has ended (its exit code is logged);
// its own status is 0, or 1 when something it did not expect happened.
#include "common/platform.h"
#include "tests/windows/wine_operator_link.h"

#include <tlhelp32.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Kind { kUnknown, kNotice, kAddress, kCredentials, kConfirmation, kConnecting, kUploading, kWaiting, kSuccess, kBox };
constexpr const char* kKindNames[] = {"unknown",    "notice",    "address",   "credentials", "confirmation",
                                      "connecting", "uploading", "waiting",   "success",     "box"};
static_assert(sizeof kKindNames / sizeof kKindNames[0] == kBox + 1, "a name for every kind");

constexpr int kPasswordCapacity = 4;
constexpr int kTextCapacity = 2048;
constexpr int kWindowCapacity = 256;
constexpr DWORD kAnswerDelayMs = 150;  // a person reads before clicking
constexpr DWORD kPollMs = 20;
constexpr DWORD kShotDelayMs = 300;    // a progress dialog is pictured once it has stood this long

struct Plan {
  char logPath[MAX_PATH];
  char exeName[64];
  bool haveDevice;
  unsigned device[4];
  int pcEntry;
  bool haveUser;
  char user[128];
  char passwords[kPasswordCapacity][128];
  int passwordCount;
  char cancelAt[32];
  DWORD startSeconds;
  DWORD timeoutSeconds;
  char shotsDir[MAX_PATH];
};

struct WindowRecord {
  HWND window;
  Kind kind;
  DWORD seenAt;
  bool answered;
  bool closed;
  bool filled;         // its fields are typed in; the click follows a moment later
  char caption[128];   // the caption now, and since when
  DWORD captionAt;
};

Plan ThePlan;
FILE* Log;
DWORD StartTick;
DWORD TargetPid;
int Faults;
int PasswordsUsed;
bool CancelDone;
WindowRecord Windows[kWindowCapacity];
int WindowCount;
// The pictures taken, one a name: the dialog kinds and "updating".
constexpr int kShotCapacity = 16;
char ShotsTaken[kShotCapacity][16];
int ShotCount;

// ---- the log -------------------------------------------------------------------
struct Line {
  char text[16384];
  std::size_t used;
};

void Append(Line* line, const char* format, ...) {
  if (line->used >= sizeof line->text) return;
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line->text + line->used, sizeof line->text - line->used, format, args);
  va_end(args);
  if (n > 0) line->used += static_cast<std::size_t>(n);
  if (line->used >= sizeof line->text) line->used = sizeof line->text - 1;
}

void AppendString(Line* line, const char* value) {
  Append(line, "\"");
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p != 0; ++p) {
    if (*p == '"' || *p == '\\') {
      Append(line, "\\%c", *p);
    } else if (*p == '\n') {
      Append(line, "\\n");
    } else if (*p == '\r') {
      Append(line, "\\r");
    } else if (*p < 0x20 || *p >= 0x7f) {
      Append(line, "\\u%04x", *p);
    } else {
      Append(line, "%c", *p);
    }
  }
  Append(line, "\"");
}

void BeginLine(Line* line, const char* event) {
  line->used = 0;
  line->text[0] = 0;
  Append(line, "{\"t\":%lu,\"event\":", static_cast<unsigned long>(GetTickCount() - StartTick));
  AppendString(line, event);
}

void EndLine(Line* line) {
  Append(line, "}");
  std::fprintf(Log, "%s\n", line->text);
  std::fflush(Log);
}

void Note(const char* event, const char* text) {
  static Line line;
  BeginLine(&line, event);
  Append(&line, ",\"text\":");
  AppendString(&line, text);
  EndLine(&line);
}

void Fault(const char* text) {
  ++Faults;
  Note("fault", text);
}

// ---- reading another process's windows ---------------------------------------
// WM_GETTEXT travels to the owning thread, which answers even while it waits
// for the hook's message to us.
void ControlText(HWND control, char* out, int size) {
  out[0] = 0;
  DWORD_PTR copied = 0;
  if (SendMessageTimeoutA(control, WM_GETTEXT, static_cast<WPARAM>(size), reinterpret_cast<LPARAM>(out),
                          SMTO_ABORTIFHUNG, kLinkTimeoutMs, &copied) == 0) {
    GetWindowTextA(control, out, size);
  }
  out[size - 1] = 0;
}

bool ClassIs(HWND window, const char* name) {
  char cls[64] = "";
  GetClassNameA(window, cls, sizeof cls);
  return lstrcmpiA(cls, name) == 0;
}

struct StaticSearch {
  char text[kTextCapacity];
};

BOOL CALLBACK FindStaticText(HWND child, LPARAM raw) {
  StaticSearch* search = reinterpret_cast<StaticSearch*>(raw);
  if (!ClassIs(child, "Static")) return TRUE;
  char text[kTextCapacity];
  ControlText(child, text, sizeof text);
  if (text[0] == 0) return TRUE;
  lstrcpynA(search->text, text, sizeof search->text);
  return FALSE;
}

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// The dialog's identity lies in its controls: captions are set by the program.
Kind Classify(HWND window) {
  if (!ClassIs(window, "#32770")) return kUnknown;
  HWND address = GetDlgItem(window, 1000);
  if (address != nullptr && ClassIs(address, "SysIPAddress32")) return kAddress;
  if (GetDlgItem(window, 1021) != nullptr) return kNotice;
  if (GetDlgItem(window, 1002) != nullptr && GetDlgItem(window, 1006) != nullptr) return kConfirmation;
  if (GetDlgItem(window, 1010) != nullptr) {
    StaticSearch search;
    search.text[0] = 0;
    EnumChildWindows(window, FindStaticText, reinterpret_cast<LPARAM>(&search));
    if (StartsWith(search.text, "Please do not unplug")) return kUploading;
    if (StartsWith(search.text, "Please make sure")) return kWaiting;
    return kConnecting;
  }
  if (GetDlgItem(window, 1003) != nullptr && GetDlgItem(window, 1005) != nullptr) return kCredentials;
  if (GetDlgItem(window, 1004) != nullptr) return kSuccess;
  return kBox;  // none of the program's own dialogs: a message box
}

struct ControlsLine {
  Line* line;
  bool first;
};

BOOL CALLBACK AppendControl(HWND child, LPARAM raw) {
  ControlsLine* out = reinterpret_cast<ControlsLine*>(raw);
  char cls[64] = "";
  GetClassNameA(child, cls, sizeof cls);
  char text[kTextCapacity];
  ControlText(child, text, sizeof text);
  Append(out->line, "%s{\"id\":%d,\"class\":", out->first ? "" : ",", static_cast<int>(GetDlgCtrlID(child) & 0xffff));
  AppendString(out->line, cls);
  Append(out->line, ",\"text\":");
  AppendString(out->line, text);
  if (lstrcmpiA(cls, "ComboBox") == 0) {
    DWORD_PTR count = 0;
    SendMessageTimeoutA(child, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kLinkTimeoutMs, &count);
    DWORD_PTR selected = 0;
    SendMessageTimeoutA(child, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, kLinkTimeoutMs, &selected);
    Append(out->line, ",\"selected\":%d,\"entries\":[", static_cast<int>(selected));
    for (int i = 0; i < static_cast<int>(count) && i < 16; ++i) {
      // Asked in ANSI across processes, Wine hands back the entry's UTF-16
      // bytes; asked in UTF-16, the entry itself.
      wchar_t wide[256] = L"";
      DWORD_PTR length = 0;
      SendMessageTimeoutW(child, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0, SMTO_ABORTIFHUNG, kLinkTimeoutMs, &length);
      if (length < sizeof wide / sizeof wide[0]) {
        SendMessageTimeoutW(child, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide),
                            SMTO_ABORTIFHUNG, kLinkTimeoutMs, &length);
      }
      wide[sizeof wide / sizeof wide[0] - 1] = 0;
      char entry[256] = "";
      WideCharToMultiByte(CP_ACP, 0, wide, -1, entry, sizeof entry, nullptr, nullptr);
      Append(out->line, "%s", i == 0 ? "" : ",");
      AppendString(out->line, entry);
    }
    Append(out->line, "]");
  }
  Append(out->line, ",\"visible\":%s}", (GetWindowLongA(child, GWL_STYLE) & WS_VISIBLE) != 0 ? "true" : "false");
  out->first = false;
  return TRUE;
}

// ---- the windows met ------------------------------------------------------------
WindowRecord* FindRecord(HWND window) {
  for (int i = 0; i < WindowCount; ++i) {
    if (Windows[i].window == window && !Windows[i].closed) return &Windows[i];
  }
  return nullptr;
}

void LogWindowEvent(const char* event, const WindowRecord* record, const char* field, const char* value) {
  static Line line;
  BeginLine(&line, event);
  Append(&line, ",\"dialog\":");
  AppendString(&line, kKindNames[record->kind]);
  Append(&line, ",\"hwnd\":\"%p\"", static_cast<void*>(record->window));
  if (field != nullptr) {
    Append(&line, ",\"%s\":", field);
    AppendString(&line, value);
  }
  EndLine(&line);
}

// The first sight of a window of the program: what it shows, in full.
WindowRecord* Meet(HWND window) {
  WindowRecord* record = FindRecord(window);
  if (record != nullptr) return record;
  if (WindowCount == kWindowCapacity) {
    Fault("too many windows");
    return nullptr;
  }
  record = &Windows[WindowCount++];
  record->window = window;
  record->kind = Classify(window);
  record->seenAt = GetTickCount();
  record->answered = false;
  record->closed = false;
  record->filled = false;
  GetWindowTextA(window, record->caption, sizeof record->caption);
  record->captionAt = record->seenAt;
  static Line line;
  BeginLine(&line, "dialog");
  Append(&line, ",\"dialog\":");
  AppendString(&line, kKindNames[record->kind]);
  Append(&line, ",\"hwnd\":\"%p\",\"caption\":", static_cast<void*>(window));
  char caption[kTextCapacity] = "";
  GetWindowTextA(window, caption, sizeof caption);
  AppendString(&line, caption);
  char cls[64] = "";
  GetClassNameA(window, cls, sizeof cls);
  Append(&line, ",\"class\":");
  AppendString(&line, cls);
  Append(&line, ",\"controls\":[");
  ControlsLine controls{&line, true};
  EnumChildWindows(window, AppendControl, reinterpret_cast<LPARAM>(&controls));
  Append(&line, "]");
  EndLine(&line);
  if (record->kind == kUnknown) Fault("a window of the program that is no dialog");
  return record;
}

void Forget(HWND window) {
  WindowRecord* record = FindRecord(window);
  if (record == nullptr) return;
  record->closed = true;
  LogWindowEvent("closed", record, nullptr, nullptr);
}

// ---- pictures of the screen ----------------------------------------------------
bool ShotTaken(const char* name) {
  for (int i = 0; i < ShotCount; ++i) {
    if (std::strcmp(ShotsTaken[i], name) == 0) return true;
  }
  return false;
}

bool WriteBitmapFile(const char* path, const BITMAPINFOHEADER& header, const BYTE* pixels, DWORD imageBytes) {
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4d42;  // "BM"
  file.bfOffBits = sizeof file + sizeof header;
  file.bfSize = file.bfOffBits + imageBytes;
  FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return false;
  bool written = std::fwrite(&file, sizeof file, 1, out) == 1 && std::fwrite(&header, sizeof header, 1, out) == 1 &&
                 std::fwrite(pixels, 1, imageBytes, out) == imageBytes;
  return std::fclose(out) == 0 && written;
}

// Saves what the screen shows of the window, title bar included, as Wine drew
// it on the display: DIR\NAME.bmp, 24 bits a pixel. Each name is taken once.
void Snapshot(const WindowRecord* record, const char* name) {
  if (ThePlan.shotsDir[0] == 0 || ShotTaken(name)) return;
  if (ShotCount == kShotCapacity) {
    Fault("too many pictures");
    return;
  }
  std::snprintf(ShotsTaken[ShotCount++], sizeof ShotsTaken[0], "%s", name);
  RECT rect;
  if (!GetWindowRect(record->window, &rect) || rect.right <= rect.left || rect.bottom <= rect.top) {
    Fault("a window to picture has no size");
    return;
  }
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  const bool copied = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY) != 0;
  SelectObject(memory, previous);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // rows bottom-up, as a bitmap file keeps them
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  const DWORD imageBytes = stride * static_cast<DWORD>(height);
  BYTE* pixels = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, imageBytes));
  const bool read = copied && pixels != nullptr &&
                    GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels, &info, DIB_RGB_COLORS) == height;
  char path[MAX_PATH];
  std::snprintf(path, sizeof path, "%s\\%s.bmp", ThePlan.shotsDir, name);
  const bool saved = read && WriteBitmapFile(path, info.bmiHeader, pixels, imageBytes);
  if (pixels != nullptr) HeapFree(GetProcessHeap(), 0, pixels);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (!saved) {
    Fault("cannot save a picture of the screen");
    return;
  }
  static Line line;
  BeginLine(&line, "shot");
  Append(&line, ",\"dialog\":");
  AppendString(&line, kKindNames[record->kind]);
  Append(&line, ",\"name\":");
  AppendString(&line, name);
  Append(&line, ",\"width\":%d,\"height\":%d", width, height);
  EndLine(&line);
}

bool AnyVisible(Kind kind) {
  for (int i = 0; i < WindowCount; ++i) {
    if (Windows[i].kind == kind && !Windows[i].closed && IsWindowVisible(Windows[i].window)) return true;
  }
  return false;
}

// How much of the upload a caption "Uploading Firmware to ZEM@A %d/%d Bytes" reports done.
double UploadShare(const char* caption) {
  const char* space = std::strrchr(caption, ' ');
  while (space != nullptr && space > caption && space[-1] != ' ') --space;
  unsigned long done = 0;
  unsigned long total = 0;
  if (space == nullptr || std::sscanf(space, " %lu/%lu", &done, &total) != 2 || total == 0) return 0;
  return static_cast<double>(done) / static_cast<double>(total);
}

// The progress dialogs answer nothing; they are pictured once they have been
// on the screen a moment: "Connecting" on its own, the waiting dialog once no
// "Connecting" stands over it, the transfer dialog uploading and updating.
void PictureProgress(const WindowRecord* record, DWORD now) {
  if (now - record->seenAt < kShotDelayMs) return;
  switch (record->kind) {
    case kConnecting:
      if (!AnyVisible(kWaiting)) Snapshot(record, "connecting");
      break;
    case kWaiting:
      if (!AnyVisible(kConnecting)) Snapshot(record, "waiting");
      break;
    case kUploading:
      // The uploading caption changes with every refresh: pictured once the
      // bar shows a good part done. The updating caption stays.
      if (StartsWith(record->caption, "Uploading") && UploadShare(record->caption) >= 0.4) {
        Snapshot(record, "uploading");
      }
      if (StartsWith(record->caption, "Updating") && now - record->captionAt >= kShotDelayMs) {
        Snapshot(record, "updating");
      }
      break;
    default:
      break;
  }
}

// ---- answering ------------------------------------------------------------------
void Press(const WindowRecord* record, int id) {
  HWND button = GetDlgItem(record->window, id);
  char text[128] = "";
  if (button != nullptr) ControlText(button, text, sizeof text);
  static Line line;
  BeginLine(&line, "press");
  Append(&line, ",\"dialog\":");
  AppendString(&line, kKindNames[record->kind]);
  Append(&line, ",\"hwnd\":\"%p\",\"id\":%d,\"button\":", static_cast<void*>(record->window), id);
  AppendString(&line, text);
  EndLine(&line);
  PostMessageA(record->window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

void Type(const WindowRecord* record, int id, const char* text, bool secret) {
  HWND control = GetDlgItem(record->window, id);
  if (control == nullptr) {
    Fault("no control to type into");
    return;
  }
  DWORD_PTR result = 0;
  SendMessageTimeoutA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, kLinkTimeoutMs, &result);
  static Line line;
  BeginLine(&line, "type");
  Append(&line, ",\"dialog\":");
  AppendString(&line, kKindNames[record->kind]);
  Append(&line, ",\"id\":%d,\"text\":", id);
  AppendString(&line, secret ? "(secret)" : text);
  EndLine(&line);
}

void FillAddress(const WindowRecord* record) {
  HWND address = GetDlgItem(record->window, 1000);
  DWORD_PTR result = 0;
  if (ThePlan.haveDevice) {
    LPARAM packed = MAKEIPADDRESS(ThePlan.device[0], ThePlan.device[1], ThePlan.device[2], ThePlan.device[3]);
    SendMessageTimeoutA(address, IPM_SETADDRESS, 0, packed, SMTO_ABORTIFHUNG, kLinkTimeoutMs, &result);
  }
  HWND combo = GetDlgItem(record->window, 1017);
  SendMessageTimeoutA(combo, CB_SETCURSEL, static_cast<WPARAM>(ThePlan.pcEntry), 0, SMTO_ABORTIFHUNG,
                      kLinkTimeoutMs, &result);
  char typed[64];
  ControlText(address, typed, sizeof typed);
  char chosen[64];
  ControlText(combo, chosen, sizeof chosen);
  static Line line;
  BeginLine(&line, "type");
  Append(&line, ",\"dialog\":\"address\",\"id\":1000,\"text\":");
  AppendString(&line, typed);
  Append(&line, ",\"pc_entry\":%d,\"pc_address\":", ThePlan.pcEntry);
  AppendString(&line, chosen);
  EndLine(&line);
}

// False when the plan has no password left to give.
bool FillCredentials(const WindowRecord* record) {
  if (PasswordsUsed == ThePlan.passwordCount) {
    Fault("asked for a password once more than the plan has");
    return false;
  }
  if (ThePlan.haveUser) Type(record, 1003, ThePlan.user, false);
  Type(record, 1005, ThePlan.passwords[PasswordsUsed++], true);
  return true;
}

void Answer(WindowRecord* record) {
  const char* name = kKindNames[record->kind];
  if (std::strcmp(ThePlan.cancelAt, name) == 0 && !CancelDone) {
    record->answered = true;
    CancelDone = true;
    Press(record, 2);
    return;
  }
  switch (record->kind) {
    case kNotice:
    case kConfirmation:
    case kSuccess:
    case kBox:
      record->answered = true;
      Snapshot(record, name);
      Press(record, 1);
      break;
    case kAddress:
    case kCredentials:
      // Typed in first and pressed a moment later, as a person does: the
      // picture shows the fields filled in.
      if (!record->filled) {
        record->filled = true;
        record->seenAt = GetTickCount();
        if (record->kind == kAddress) {
          FillAddress(record);
        } else if (!FillCredentials(record)) {
          record->answered = true;
          Press(record, 2);
        }
        return;
      }
      record->answered = true;
      Snapshot(record, name);
      Press(record, 1);
      break;
    case kConnecting:
    case kUploading:
    case kWaiting:
    case kUnknown:
      record->answered = true;  // progress only; nothing to answer
      break;
  }
}

// ---- the hook's reports ---------------------------------------------------------
LRESULT CALLBACK LinkWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_COPYDATA) return DefWindowProcA(window, message, wParam, lParam);
  const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
  HWND source = reinterpret_cast<HWND>(wParam);
  char text[kTextCapacity] = "";
  if (data->cbData > 0 && data->lpData != nullptr) {
    std::size_t n = data->cbData < sizeof text ? data->cbData : sizeof text;
    std::memcpy(text, data->lpData, n);
    text[sizeof text - 1] = 0;
    text[n - 1] = 0;
  }
  if (data->dwData == kLinkShown) {
    Meet(source);
  } else if (data->dwData == kLinkDestroyed) {
    Forget(source);
  } else if (data->dwData == kLinkCaption) {
    // A caption may change before the first showing (while the dialog sets
    // itself up): the window is classified then, and logged in full when shown.
    WindowRecord* record = FindRecord(source);
    if (record != nullptr) {
      std::snprintf(record->caption, sizeof record->caption, "%s", text);
      record->captionAt = GetTickCount();
    }
    WindowRecord passing{};
    passing.window = source;
    passing.kind = record != nullptr ? record->kind : Classify(source);
    LogWindowEvent("caption", &passing, "text", text);
  }
  return TRUE;
}

HWND MakeLinkWindow() {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = LinkWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = kLinkWindowClass;
  if (RegisterClassA(&windowClass) == 0) return nullptr;
  return CreateWindowExA(0, kLinkWindowClass, "0", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance,
                         nullptr);
}

HHOOK InstallHook() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return nullptr;
  char* slash = std::strrchr(path, '\\');
  std::size_t directory = slash != nullptr ? static_cast<std::size_t>(slash - path + 1) : 0;
  std::snprintf(path + directory, sizeof path - directory, "%s", kLinkHookLibrary);
  HMODULE library = LoadLibraryA(path);
  if (library == nullptr) return nullptr;
  HOOKPROC proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(library, kLinkHookProc)));
  if (proc == nullptr) return nullptr;
  return SetWindowsHookExA(WH_CALLWNDPROC, proc, library, 0);
}

// ---- the program's process and windows -----------------------------------------
DWORD FindProcess(const char* exeName) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  DWORD pid = 0;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (lstrcmpiA(entry.szExeFile, exeName) == 0) {
      pid = entry.th32ProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  return pid;
}

BOOL CALLBACK VisitTopLevel(HWND window, LPARAM) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != TargetPid || !IsWindowVisible(window)) return TRUE;
  Meet(window);
  return TRUE;
}

void Pump() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

void AnswerDueWindows() {
  DWORD now = GetTickCount();
  for (int i = 0; i < WindowCount; ++i) {
    WindowRecord* record = &Windows[i];
    if (record->closed) continue;
    if (!IsWindow(record->window)) {
      Forget(record->window);
      continue;
    }
    if (!IsWindowVisible(record->window)) continue;
    PictureProgress(record, now);
    if (!record->answered && now - record->seenAt >= kAnswerDelayMs) Answer(record);
  }
}

// ---- the plan -------------------------------------------------------------------
bool ParseAddress(const char* text, unsigned* parts) {
  char tail = 0;
  return std::sscanf(text, "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) == 4 &&
         parts[0] < 256 && parts[1] < 256 && parts[2] < 256 && parts[3] < 256;
}

bool ParsePlan(int argc, char** argv) {
  Plan& plan = ThePlan;
  std::snprintf(plan.exeName, sizeof plan.exeName, "zemupgrade.exe");
  plan.startSeconds = 60;
  plan.timeoutSeconds = 150;
  for (int i = 1; i < argc; ++i) {
    const char* option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) return false;
    ++i;
    if (std::strcmp(option, "--log") == 0) {
      std::snprintf(plan.logPath, sizeof plan.logPath, "%s", value);
    } else if (std::strcmp(option, "--exe") == 0) {
      std::snprintf(plan.exeName, sizeof plan.exeName, "%s", value);
    } else if (std::strcmp(option, "--device") == 0) {
      if (!ParseAddress(value, plan.device)) return false;
      plan.haveDevice = true;
    } else if (std::strcmp(option, "--pc-entry") == 0) {
      plan.pcEntry = std::atoi(value);
    } else if (std::strcmp(option, "--user") == 0) {
      std::snprintf(plan.user, sizeof plan.user, "%s", value);
      plan.haveUser = true;
    } else if (std::strcmp(option, "--password") == 0) {
      if (plan.passwordCount == kPasswordCapacity) return false;
      std::snprintf(plan.passwords[plan.passwordCount++], sizeof plan.passwords[0], "%s", value);
    } else if (std::strcmp(option, "--cancel-at") == 0) {
      std::snprintf(plan.cancelAt, sizeof plan.cancelAt, "%s", value);
    } else if (std::strcmp(option, "--start-seconds") == 0) {
      plan.startSeconds = static_cast<DWORD>(std::atoi(value));
    } else if (std::strcmp(option, "--timeout-seconds") == 0) {
      plan.timeoutSeconds = static_cast<DWORD>(std::atoi(value));
    } else if (std::strcmp(option, "--shots") == 0) {
      std::snprintf(plan.shotsDir, sizeof plan.shotsDir, "%s", value);
    } else {
      return false;
    }
  }
  return plan.logPath[0] != 0;
}

int Run() {
  HWND link = MakeLinkWindow();
  if (link == nullptr) {
    Fault("cannot make the link window");
    return 1;
  }
  DWORD deadline = GetTickCount() + ThePlan.startSeconds * 1000;
  while ((TargetPid = FindProcess(ThePlan.exeName)) == 0) {
    if (GetTickCount() > deadline) {
      Fault("the program did not start");
      return 1;
    }
    Sleep(kPollMs);
  }
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, TargetPid);
  if (process == nullptr) {
    Fault("cannot open the program's process");
    return 1;
  }
  char title[32];
  std::snprintf(title, sizeof title, "%lu", static_cast<unsigned long>(TargetPid));
  SetWindowTextA(link, title);
  HHOOK hook = InstallHook();
  {
    static Line line;
    BeginLine(&line, "process");
    Append(&line, ",\"pid\":%lu,\"hook\":%s", static_cast<unsigned long>(TargetPid), hook != nullptr ? "true" : "false");
    EndLine(&line);
  }
  if (hook == nullptr) Fault("cannot install the window hook");

  deadline = GetTickCount() + ThePlan.timeoutSeconds * 1000;
  for (;;) {
    Pump();
    EnumWindows(VisitTopLevel, 0);
    AnswerDueWindows();
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) break;
    if (GetTickCount() > deadline) {
      Fault("the program did not end in time");
      break;
    }
    MsgWaitForMultipleObjects(1, &process, FALSE, kPollMs, QS_ALLINPUT);
  }
  Pump();
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  {
    static Line line;
    BeginLine(&line, "exit");
    Append(&line, ",\"code\":%lu", static_cast<unsigned long>(code));
    EndLine(&line);
  }
  if (hook != nullptr) UnhookWindowsHookEx(hook);
  CloseHandle(process);
  if (ThePlan.cancelAt[0] != 0 && !CancelDone) Fault("the dialog to cancel never came");
  if (PasswordsUsed < ThePlan.passwordCount) Fault("a password of the plan was never asked for");
  return Faults == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  StartTick = GetTickCount();
  if (!ParsePlan(argc, argv)) {
    std::fprintf(stderr,
                 "usage: wine_operator --log FILE [--exe NAME] [--device A.B.C.D] [--pc-entry N] [--user NAME]\n"
                 "       [--password TEXT]... [--cancel-at DIALOG] [--start-seconds S] [--timeout-seconds S]\n"
                 "       [--shots DIR]\n");
    return 2;
  }
  Log = std::fopen(ThePlan.logPath, "w");
  if (Log == nullptr) {
    std::fprintf(stderr, "wine_operator: cannot write %s\n", ThePlan.logPath);
    return 2;
  }
  Note("start", ThePlan.exeName);
  int status = Run();
  std::fclose(Log);
  return status;
}
