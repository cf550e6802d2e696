// The scripted operator (see tests/support/operator.h): a front end of the
// dialog manager that plays a script and keeps a record of every dialog and box.
#include "tests/support/operator.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "common/text.h"
#include "port/frontend.h"
#include "tests/support/hooks.h"

namespace {

struct ScriptEntry {
  bool box;
  int templateId;
  std::string filter;  // boxes: the text must contain it
  std::vector<OperatorStep> steps;
  bool used;
};

// A modal dialog's place in its steps; modal steps run on the dialog's thread.
struct ModalRun {
  std::vector<OperatorStep> steps;
  std::size_t next = 0;
  bool hasEntry = false;
  bool waiting = false;
  DWORD waitUntil = 0;  // program clock
  int cancelTries = 0;
};

std::mutex g_lock;
std::condition_variable g_recorded;
std::vector<ScriptEntry> g_entries;
std::vector<OperatorDialogRecord> g_dialogs;
std::vector<OperatorBoxRecord> g_boxes;
std::map<UINT_PTR, std::size_t> g_live;  // open dialog -> its record
std::map<UINT_PTR, ModalRun> g_modal;
int g_sequence = 0;
unsigned g_generation = 0;  // bumped by OperatorReset: helper threads of older tests stop recording
char g_transcriptPath[4096];

UINT_PTR Key(HWND window) { return reinterpret_cast<UINT_PTR>(window); }

const char* KindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::DefPushButton: return "defpushbutton";
    case ControlKind::PushButton: return "pushbutton";
    case ControlKind::Edit: return "edit";
    case ControlKind::ComboBox: return "combobox";
    case ControlKind::Static: return "static";
    case ControlKind::Icon: return "icon";
    case ControlKind::IpAddress: return "ipaddress";
    case ControlKind::Progress: return "progress";
  }
  return "unknown";
}

std::string StepWords(const OperatorStep& step) {
  char words[64];
  switch (step.action) {
    case OperatorAction::Type: std::snprintf(words, sizeof words, "type %d", step.control); break;
    case OperatorAction::Choose: std::snprintf(words, sizeof words, "choose %d %d", step.control, step.index); break;
    case OperatorAction::Press: std::snprintf(words, sizeof words, "press %d", step.control); break;
    case OperatorAction::Enter: CopyText(words, "enter"); break;
    case OperatorAction::Escape: CopyText(words, "escape"); break;
    case OperatorAction::Close: CopyText(words, "close"); break;
    case OperatorAction::Wait: std::snprintf(words, sizeof words, "wait %u", step.ms); break;
    case OperatorAction::WaitProgress:
      std::snprintf(words, sizeof words, "waitprogress %d %d", step.control, step.index);
      break;
    case OperatorAction::Answer: std::snprintf(words, sizeof words, "answer %d", step.control); break;
  }
  std::string text = words;
  if (step.action == OperatorAction::Type) text += " \"" + step.text + "\"";
  return text;
}

void NoteAction(HWND dialog, unsigned generation, const std::string& words) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (generation != g_generation) return;
  auto live = g_live.find(Key(dialog));
  if (live != g_live.end()) g_dialogs[live->second].pressed.push_back(words);
}

int ProgressPosition(HWND dialog, int control) {
  HWND bar = GetDlgItem(dialog, control);
  return bar != nullptr ? static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0)) : -1;
}

// One step that acts at once (not a wait) on a dialog of any thread.
void Act(HWND dialog, const OperatorStep& step) {
  switch (step.action) {
    case OperatorAction::Type: SetDlgItemTextA(dialog, step.control, step.text.c_str()); break;
    case OperatorAction::Choose:
      SendDlgItemMessageA(dialog, step.control, CB_SETCURSEL, static_cast<WPARAM>(step.index), 0);
      break;
    case OperatorAction::Press: PortPressButton(dialog, step.control); break;
    case OperatorAction::Enter: PortPressKey(dialog, VK_RETURN); break;
    case OperatorAction::Escape: PortPressKey(dialog, VK_ESCAPE); break;
    case OperatorAction::Close: PortPressClose(dialog); break;
    default: break;
  }
}

void SleepProgramMs(unsigned ms) { Sleep(ms); }

unsigned RealFromProgram(DWORD programMs) { return static_cast<unsigned>(programMs / PortClockRate()); }

// Waits (real ms) until a message is posted to this thread's queue, for the
// modal loop to take: a pressed button ends a wait early.
void AwaitMessage(unsigned realMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
  MSG message;
  while (!PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int TemplateIdOf(HWND dialog) {
  PortDialogView view;
  return PortViewDialog(dialog, &view) ? view.templateId : 0;
}

// The steps of a modeless dialog, on a helper thread.
void RunModeless(HWND dialog, std::vector<OperatorStep> steps, unsigned generation) {
  for (const OperatorStep& step : steps) {
    if (!IsWindow(dialog)) return;
    NoteAction(dialog, generation, StepWords(step));
    if (step.action == OperatorAction::Wait) {
      SleepProgramMs(step.ms);
    } else if (step.action == OperatorAction::WaitProgress) {
      while (IsWindow(dialog) && ProgressPosition(dialog, step.control) < step.index) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    } else {
      Act(dialog, step);
    }
  }
}

// ---- the front end ----------------------------------------------------------------
void Opened(HWND dialog) {
  PortDialogView view;
  if (!PortViewDialog(dialog, &view)) return;
  OperatorDialogRecord record;
  record.templateId = view.templateId;
  record.modal = view.modal;
  record.thread = view.thread;
  record.caption = view.caption;
  record.focusId = view.focusId;
  record.defaultButtonId = view.defaultButtonId;
  record.rect = view.rect;
  record.hasProgress = false;
  record.progressLow = 0;
  record.progressHigh = 0;
  record.progressCount = 0;
  for (const PortControlView& control : view.controls) {
    OperatorControlRecord item{control.id, KindName(control.kind), control.text, control.entries, control.selection};
    record.controls.push_back(item);
    if (control.kind == ControlKind::Progress && !record.hasProgress) {
      record.hasProgress = true;
      record.progressLow = control.rangeLow;
      record.progressHigh = control.rangeHigh;
    }
  }
  record.stalled = false;
  record.closed = false;
  record.result = -1;

  std::vector<OperatorStep> steps;
  bool found = false;
  unsigned generation = 0;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    for (ScriptEntry& entry : g_entries) {
      if (!entry.box && !entry.used && entry.templateId == view.templateId) {
        entry.used = true;
        steps = entry.steps;
        found = true;
        break;
      }
    }
    record.unexpected = !found;
    record.sequence = ++g_sequence;
    g_live[Key(dialog)] = g_dialogs.size();
    g_dialogs.push_back(record);
    if (view.modal) {
      ModalRun& run = g_modal[Key(dialog)];
      run = ModalRun();
      run.steps = steps;
      run.hasEntry = found;
    }
    generation = g_generation;
  }
  g_recorded.notify_all();
  if (!view.modal && !steps.empty()) {
    std::thread(RunModeless, dialog, steps, generation).detach();
  }
}

void Changed(HWND dialog, const PortChange& change) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto live = g_live.find(Key(dialog));
  if (live == g_live.end()) return;
  OperatorDialogRecord& record = g_dialogs[live->second];
  switch (change.event) {
    case PortEvent::Caption: record.captions.push_back(change.text != nullptr ? change.text : ""); break;
    case PortEvent::ProgressRange:
      record.progressLow = static_cast<int>(change.value);
      record.progressHigh = static_cast<int>(change.value2);
      break;
    case PortEvent::ProgressPos:
      if (record.progress.size() < kOperatorProgressLimit) record.progress.push_back(static_cast<int>(change.value));
      ++record.progressCount;
      break;
    default: break;
  }
}

void Closed(HWND dialog, INT_PTR result) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto live = g_live.find(Key(dialog));
    if (live == g_live.end()) return;
    OperatorDialogRecord& record = g_dialogs[live->second];
    record.closed = true;
    if (record.modal) record.result = result;
    g_live.erase(live);
    g_modal.erase(Key(dialog));
  }
  g_recorded.notify_all();
}

void ModalIdle(HWND dialog) {
  enum class Next { Nothing, WaitClock, WaitProgress, Act, Stalled, Force };
  Next next = Next::Nothing;
  OperatorStep step{OperatorAction::Wait, 0, 0, 0, std::string()};
  unsigned realWait = 0;
  bool note = false;
  unsigned generation = 0;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    generation = g_generation;
    auto found = g_modal.find(Key(dialog));
    if (found == g_modal.end()) {
      next = Next::Force;  // opened before a reset: nobody answers it any more
    } else {
      ModalRun& run = found->second;
      if (!run.waiting && run.next < run.steps.size()) {
        step = run.steps[run.next++];
        note = true;
        if (step.action == OperatorAction::Wait) {
          run.waiting = true;
          run.waitUntil = timeGetTime() + step.ms;
        } else if (step.action == OperatorAction::WaitProgress) {
          run.waiting = true;
        } else {
          next = Next::Act;
        }
      } else if (!run.waiting) {
        next = run.cancelTries++ > 0 ? Next::Force : Next::Stalled;
        auto live = g_live.find(Key(dialog));
        if (live != g_live.end() && run.hasEntry) g_dialogs[live->second].stalled = true;
      }
      if (run.waiting) {
        step = run.steps[run.next - 1];
        if (step.action == OperatorAction::Wait) {
          std::int32_t left = static_cast<std::int32_t>(run.waitUntil - timeGetTime());
          if (left <= 0) {
            run.waiting = false;
          } else {
            next = Next::WaitClock;
            realWait = RealFromProgram(static_cast<DWORD>(left));
            realWait = realWait < 1 ? 1 : (realWait > 50 ? 50 : realWait);
          }
        } else {
          next = Next::WaitProgress;
        }
      }
    }
  }
  if (note) NoteAction(dialog, generation, StepWords(step));
  switch (next) {
    case Next::Nothing:
      break;
    case Next::WaitClock:
      // Messages posted meanwhile end the wait early; the loop handles them and calls again.
      AwaitMessage(realWait);
      break;
    case Next::WaitProgress:
      if (ProgressPosition(dialog, step.control) >= step.index) {
        std::lock_guard<std::mutex> hold(g_lock);
        auto found = g_modal.find(Key(dialog));
        if (found != g_modal.end()) found->second.waiting = false;
      } else {
        AwaitMessage(2);
      }
      break;
    case Next::Act:
      Act(dialog, step);
      break;
    case Next::Stalled:
      NoteAction(dialog, generation, "press 2");
      PortPressButton(dialog, IDCANCEL);
      break;
    case Next::Force:
      // A dialog that does not end on IDCANCEL would keep the test waiting for ever.
      EndDialog(dialog, -1);
      break;
  }
}

int MessageBoxAnswer(HWND owner, const char* text, const char* caption, UINT type) {
  OperatorBoxRecord record;
  record.text = text;
  record.caption = caption;
  record.style = type;
  record.thread = GetCurrentThreadId();
  record.ownerTemplateId = owner != nullptr ? TemplateIdOf(owner) : 0;
  bool hasCancel = (type & 0xFu) == MB_OKCANCEL;
  std::vector<OperatorStep> steps;
  bool found = false;
  std::size_t index = 0;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    for (ScriptEntry& entry : g_entries) {
      if (entry.box && !entry.used && std::strstr(text, entry.filter.c_str()) != nullptr) {
        entry.used = true;
        steps = entry.steps;
        found = true;
        break;
      }
    }
    record.unexpected = !found;
    record.answer = hasCancel && !found ? IDCANCEL : IDOK;
    record.sequence = ++g_sequence;
    index = g_boxes.size();
    g_boxes.push_back(record);
  }
  g_recorded.notify_all();
  int answer = record.answer;
  for (const OperatorStep& step : steps) {
    if (step.action == OperatorAction::Wait) SleepProgramMs(step.ms);
    if (step.action == OperatorAction::Answer) answer = step.control;
  }
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (index < g_boxes.size() && g_boxes[index].sequence == record.sequence) g_boxes[index].answer = answer;
  }
  return answer;
}

const PortFrontEnd kScripted = {Opened, Changed, Closed, ModalIdle, MessageBoxAnswer};

// ---- the text script -------------------------------------------------------------
struct Token {
  std::string text;
  bool quoted;
};

bool Tokenize(const char* line, std::vector<Token>* tokens, std::string* fault) {
  const char* p = line;
  while (*p != '\0') {
    if (*p == ' ' || *p == '\t' || *p == '\r') {
      ++p;
    } else if (*p == ':' || *p == ';') {
      tokens->push_back(Token{std::string(1, *p), false});
      ++p;
    } else if (*p == '"') {
      std::string text;
      ++p;
      for (;;) {
        if (*p == '\0') {
          *fault = "a quoted text has no closing quote";
          return false;
        }
        if (*p == '"') {
          ++p;
          break;
        }
        if (*p == '\\') {
          ++p;
          switch (*p) {
            case 'r': text += '\r'; break;
            case 'n': text += '\n'; break;
            case 't': text += '\t'; break;
            case '"': text += '"'; break;
            case '\\': text += '\\'; break;
            default:
              *fault = "unknown escape in a quoted text";
              return false;
          }
          ++p;
          continue;
        }
        text += *p++;
      }
      tokens->push_back(Token{text, true});
    } else {
      std::string word;
      while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r' && *p != ':' && *p != ';' && *p != '"') {
        word += *p++;
      }
      tokens->push_back(Token{word, false});
    }
  }
  return true;
}

bool Number(const Token& token, long low, long high, long* value) {
  if (token.quoted || token.text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long parsed = std::strtol(token.text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

bool Is(const Token& token, const char* word) { return !token.quoted && token.text == word; }

// One step from tokens[at...] up to the next ';'.
bool ParseStep(const std::vector<Token>& words, bool box, OperatorStep* step, std::string* fault) {
  *step = OperatorStep{OperatorAction::Wait, 0, 0, 0, std::string()};
  if (words.empty()) {
    *fault = "an empty step";
    return false;
  }
  const Token& verb = words[0];
  long a = 0, b = 0;
  auto count = [&](std::size_t n) {
    if (words.size() == n) return true;
    *fault = "step \"" + verb.text + "\" takes " + std::to_string(n - 1) + " argument(s)";
    return false;
  };
  if (Is(verb, "wait")) {
    if (!count(2)) return false;
    if (!Number(words[1], 0, 86400000, &a)) {
      *fault = "wait needs milliseconds";
      return false;
    }
    step->action = OperatorAction::Wait;
    step->ms = static_cast<unsigned>(a);
    return true;
  }
  if (box) {
    if (Is(verb, "ok") || Is(verb, "cancel")) {
      if (!count(1)) return false;
      *step = AnswerBox(Is(verb, "ok") ? IDOK : IDCANCEL);
      return true;
    }
    if (Is(verb, "answer")) {
      if (!count(2)) return false;
      if (!Number(words[1], 1, 65535, &a)) {
        *fault = "answer needs a button result";
        return false;
      }
      *step = AnswerBox(static_cast<int>(a));
      return true;
    }
    *fault = "a message box takes ok, cancel, answer N or wait MS, not \"" + verb.text + "\"";
    return false;
  }
  if (Is(verb, "type")) {
    if (!count(3)) return false;
    if (!Number(words[1], -1, 65535, &a)) {
      *fault = "type needs a control id";
      return false;
    }
    *step = TypeText(static_cast<int>(a), words[2].text.c_str());
    return true;
  }
  if (Is(verb, "choose") || Is(verb, "waitprogress")) {
    if (!count(3)) return false;
    if (!Number(words[1], -1, 65535, &a) || !Number(words[2], 0, 2147483647, &b)) {
      *fault = verb.text + " needs a control id and a number";
      return false;
    }
    *step = Is(verb, "choose") ? ChooseEntry(static_cast<int>(a), static_cast<int>(b))
                               : WaitProgress(static_cast<int>(a), static_cast<int>(b));
    return true;
  }
  if (Is(verb, "press")) {
    if (!count(2)) return false;
    if (Is(words[1], "ok")) {
      a = IDOK;
    } else if (Is(words[1], "cancel")) {
      a = IDCANCEL;
    } else if (!Number(words[1], 0, 65535, &a)) {
      *fault = "press needs a button id, ok or cancel";
      return false;
    }
    *step = PressButton(static_cast<int>(a));
    return true;
  }
  if (Is(verb, "enter") || Is(verb, "escape") || Is(verb, "close")) {
    if (!count(1)) return false;
    *step = Is(verb, "enter") ? PressEnter() : Is(verb, "escape") ? PressEscape() : PressClose();
    return true;
  }
  *fault = "unknown step \"" + verb.text + "\"";
  return false;
}

bool ParseLine(const char* line, std::vector<ScriptEntry>* entries, std::string* fault) {
  std::vector<Token> tokens;
  if (!Tokenize(line, &tokens, fault)) return false;
  if (tokens.empty()) return true;
  if (!tokens[0].quoted && !tokens[0].text.empty() && tokens[0].text[0] == '#') return true;
  ScriptEntry entry{false, 0, std::string(), {}, false};
  std::size_t at = 1;
  if (Is(tokens[0], "dialog")) {
    long id = 0;
    if (tokens.size() < 2 || !Number(tokens[1], 1, 65535, &id)) {
      *fault = "dialog needs a template id";
      return false;
    }
    entry.templateId = static_cast<int>(id);
    at = 2;
  } else if (Is(tokens[0], "box")) {
    entry.box = true;
    if (tokens.size() > 1 && tokens[1].quoted) {
      entry.filter = tokens[1].text;
      at = 2;
    }
  } else {
    *fault = "a line starts with dialog or box, not \"" + tokens[0].text + "\"";
    return false;
  }
  if (at < tokens.size()) {
    if (!Is(tokens[at], ":")) {
      *fault = "expected ':' before the steps";
      return false;
    }
    ++at;
    std::vector<Token> words;
    for (; at <= tokens.size(); ++at) {
      if (at == tokens.size() || Is(tokens[at], ";")) {
        if (words.empty() && at == tokens.size()) break;  // a trailing ';' or no steps
        OperatorStep step;
        if (!ParseStep(words, entry.box, &step, fault)) return false;
        entry.steps.push_back(step);
        words.clear();
      } else {
        words.push_back(tokens[at]);
      }
    }
  }
  entries->push_back(entry);
  return true;
}

// ---- the transcript ------------------------------------------------------------------
void PutJsonText(std::FILE* out, const std::string& text) {
  std::fputc('"', out);
  for (unsigned char c : text) {
    switch (c) {
      case '"': std::fputs("\\\"", out); break;
      case '\\': std::fputs("\\\\", out); break;
      case '\r': std::fputs("\\r", out); break;
      case '\n': std::fputs("\\n", out); break;
      case '\t': std::fputs("\\t", out); break;
      default:
        // Texts are 8-bit; bytes outside ASCII are written as the Latin-1 characters they are.
        if (c < 0x20 || c >= 0x7f) {
          std::fprintf(out, "\\u%04x", c);
        } else {
          std::fputc(c, out);
        }
    }
  }
  std::fputc('"', out);
}

void PutDialog(std::FILE* out, const OperatorDialogRecord& record) {
  std::fprintf(out, "{\"type\":\"dialog\",\"seq\":%d,\"id\":%d,\"modal\":%s,\"thread\":%u,\"caption\":",
               record.sequence, record.templateId, record.modal ? "true" : "false",
               static_cast<unsigned>(record.thread));
  PutJsonText(out, record.caption);
  std::fputs(",\"captions\":[", out);
  for (std::size_t i = 0; i < record.captions.size(); ++i) {
    if (i != 0) std::fputc(',', out);
    PutJsonText(out, record.captions[i]);
  }
  std::fprintf(out, "],\"focus\":%d,\"default\":%d,\"rect\":[%ld,%ld,%ld,%ld],\"controls\":[", record.focusId,
               record.defaultButtonId, record.rect.left, record.rect.top, record.rect.right, record.rect.bottom);
  for (std::size_t i = 0; i < record.controls.size(); ++i) {
    const OperatorControlRecord& control = record.controls[i];
    if (i != 0) std::fputc(',', out);
    std::fprintf(out, "{\"id\":%d,\"kind\":\"%s\",\"text\":", control.id, control.kind);
    PutJsonText(out, control.text);
    if (std::strcmp(control.kind, "combobox") == 0) {
      std::fputs(",\"entries\":[", out);
      for (std::size_t e = 0; e < control.entries.size(); ++e) {
        if (e != 0) std::fputc(',', out);
        PutJsonText(out, control.entries[e]);
      }
      std::fprintf(out, "],\"selection\":%d", control.selection);
    }
    std::fputc('}', out);
  }
  std::fputc(']', out);
  if (record.hasProgress) {
    std::fprintf(out, ",\"progress\":{\"low\":%d,\"high\":%d,\"positions\":[", record.progressLow,
                 record.progressHigh);
    for (std::size_t i = 0; i < record.progress.size(); ++i) {
      std::fprintf(out, i != 0 ? ",%d" : "%d", record.progress[i]);
    }
    std::fprintf(out, "],\"count\":%zu}", record.progressCount);
  }
  std::fprintf(out, ",\"unexpected\":%s,\"stalled\":%s,\"closed\":%s,\"result\":%lld,\"actions\":[",
               record.unexpected ? "true" : "false", record.stalled ? "true" : "false",
               record.closed ? "true" : "false", record.result);
  for (std::size_t i = 0; i < record.pressed.size(); ++i) {
    if (i != 0) std::fputc(',', out);
    PutJsonText(out, record.pressed[i]);
  }
  std::fputs("]}\n", out);
}

void PutBox(std::FILE* out, const OperatorBoxRecord& record) {
  std::fprintf(out, "{\"type\":\"box\",\"seq\":%d,\"text\":", record.sequence);
  PutJsonText(out, record.text);
  std::fputs(",\"caption\":", out);
  PutJsonText(out, record.caption);
  std::fprintf(out, ",\"style\":%u,\"thread\":%u,\"owner\":%d,\"answer\":%d,\"unexpected\":%s}\n", record.style,
               static_cast<unsigned>(record.thread), record.ownerTemplateId, record.answer,
               record.unexpected ? "true" : "false");
}

std::string EntryName(const ScriptEntry& entry) {
  if (entry.box) return entry.filter.empty() ? std::string("box") : "box \"" + entry.filter + "\"";
  return "dialog " + std::to_string(entry.templateId);
}

void WriteAtExit(unsigned status) {
  if (g_transcriptPath[0] != '\0') OperatorWriteTranscript(g_transcriptPath, static_cast<int>(status));
}

}  // namespace

// ---- steps ---------------------------------------------------------------------------
OperatorStep TypeText(int control, const char* text) {
  return OperatorStep{OperatorAction::Type, control, 0, 0, text != nullptr ? text : ""};
}
OperatorStep ChooseEntry(int control, int index) {
  return OperatorStep{OperatorAction::Choose, control, index, 0, std::string()};
}
OperatorStep PressButton(int control) { return OperatorStep{OperatorAction::Press, control, 0, 0, std::string()}; }
OperatorStep PressEnter() { return OperatorStep{OperatorAction::Enter, 0, 0, 0, std::string()}; }
OperatorStep PressEscape() { return OperatorStep{OperatorAction::Escape, 0, 0, 0, std::string()}; }
OperatorStep PressClose() { return OperatorStep{OperatorAction::Close, 0, 0, 0, std::string()}; }
OperatorStep WaitMs(unsigned ms) { return OperatorStep{OperatorAction::Wait, 0, 0, ms, std::string()}; }
OperatorStep WaitProgress(int control, int position) {
  return OperatorStep{OperatorAction::WaitProgress, control, position, 0, std::string()};
}
OperatorStep AnswerBox(int result) { return OperatorStep{OperatorAction::Answer, result, 0, 0, std::string()}; }

void OperatorReset() {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_entries.clear();
    g_dialogs.clear();
    g_boxes.clear();
    g_live.clear();
    g_modal.clear();
    g_sequence = 0;
    ++g_generation;
  }
  PortSetFrontEnd(&kScripted);
}

void OperatorExpectDialog(int templateId, std::vector<OperatorStep> steps) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_entries.push_back(ScriptEntry{false, templateId, std::string(), std::move(steps), false});
}

void OperatorExpectMessageBox(std::vector<OperatorStep> steps, const char* textContains) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_entries.push_back(ScriptEntry{true, 0, textContains != nullptr ? textContains : "", std::move(steps), false});
}

bool OperatorLoadScript(const char* text, std::string* error) {
  std::vector<ScriptEntry> entries;
  int lineNumber = 0;
  const char* line = text != nullptr ? text : "";
  while (*line != '\0') {
    const char* end = std::strchr(line, '\n');
    std::string one = end != nullptr ? std::string(line, end) : std::string(line);
    ++lineNumber;
    std::string fault;
    if (!ParseLine(one.c_str(), &entries, &fault)) {
      if (error != nullptr) *error = "line " + std::to_string(lineNumber) + ": " + fault;
      return false;
    }
    if (end == nullptr) break;
    line = end + 1;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  for (ScriptEntry& entry : entries) g_entries.push_back(std::move(entry));
  return true;
}

bool OperatorLoadScriptFile(const char* path, std::string* error) {
  std::FILE* in = std::fopen(path, "rb");
  if (in == nullptr) {
    if (error != nullptr) *error = std::string("cannot open ") + path + ": " + std::strerror(errno);
    return false;
  }
  std::string text;
  char chunk[4096];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) text.append(chunk, n);
  std::fclose(in);
  if (text.find('\0') != std::string::npos) {
    if (error != nullptr) *error = std::string(path) + " holds a zero byte";
    return false;
  }
  return OperatorLoadScript(text.c_str(), error);
}

std::vector<OperatorDialogRecord> OperatorDialogs() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_dialogs;
}

std::vector<OperatorBoxRecord> OperatorMessageBoxes() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_boxes;
}

std::vector<OperatorDialogRecord> OperatorDialogsOf(int templateId) {
  std::lock_guard<std::mutex> hold(g_lock);
  std::vector<OperatorDialogRecord> found;
  for (const OperatorDialogRecord& record : g_dialogs) {
    if (record.templateId == templateId) found.push_back(record);
  }
  return found;
}

std::vector<std::string> OperatorUnusedEntries() {
  std::lock_guard<std::mutex> hold(g_lock);
  std::vector<std::string> unused;
  for (const ScriptEntry& entry : g_entries) {
    if (!entry.used) unused.push_back(EntryName(entry));
  }
  return unused;
}

bool OperatorWaitForDialog(int templateId, int count, unsigned timeoutMs) {
  std::unique_lock<std::mutex> hold(g_lock);
  return g_recorded.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
    int seen = 0;
    for (const OperatorDialogRecord& record : g_dialogs) {
      if (record.templateId == templateId) ++seen;
    }
    return seen >= count;
  });
}

bool OperatorWriteTranscript(const char* path, int exitStatus) {
  std::vector<OperatorDialogRecord> dialogs;
  std::vector<OperatorBoxRecord> boxes;
  std::vector<std::string> unused = OperatorUnusedEntries();
  {
    std::lock_guard<std::mutex> hold(g_lock);
    dialogs = g_dialogs;
    boxes = g_boxes;
  }
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return false;
  std::size_t d = 0, b = 0;
  while (d < dialogs.size() || b < boxes.size()) {
    bool dialogFirst = b >= boxes.size() || (d < dialogs.size() && dialogs[d].sequence < boxes[b].sequence);
    if (dialogFirst) {
      PutDialog(out, dialogs[d++]);
    } else {
      PutBox(out, boxes[b++]);
    }
  }
  for (const std::string& entry : unused) {
    std::fputs("{\"type\":\"unused\",\"entry\":", out);
    PutJsonText(out, entry);
    std::fputs("}\n", out);
  }
  if (exitStatus >= 0) std::fprintf(out, "{\"type\":\"exit\",\"status\":%d}\n", exitStatus);
  bool written = std::fflush(out) == 0;
  return std::fclose(out) == 0 && written;
}

void OperatorTranscriptAtExit(const char* path) {
  CopyText(g_transcriptPath, path != nullptr ? path : "");
  PortSetExitHook(WriteAtExit);
}
