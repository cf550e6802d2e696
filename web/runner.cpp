// The request runner: one HTTP exchange at a time on a fresh worker thread,
// behind the modeless "Connecting" dialog, with the authentication retry.
#include <cstdio>

#include "common/report.h"
#include "common/trace.h"
#include "digest/digest.h"
#include "ui/ui.h"
#include "upgrade/upgrade.h"
#include "web/web.h"

namespace {

constexpr int kTicksPerStep = 10;  // polling passes between two progress steps
constexpr int kLastPosition = 100;
// Every pass takes at most one message of the "Connecting" dialog and sleeps 1 ms.
constexpr ProgressPace kConnectingPace{0, 0, true};

// Counters of one RunDeviceRequest call; the first two carry over between attempts.
struct Progress {
  int ticks;
  int position;
};

// The worker's exit code is its result, and a result of 259 bytes reads like
// STILL_ACTIVE: only the thread's own signal tells that it has ended.
bool WorkerEnded(HANDLE worker) { return WaitForSingleObject(worker, 0) == WAIT_OBJECT_0; }

// One attempt: the dialog, the worker, the polling loop. Returns the exchange's result.
int RunAttempt(HINSTANCE instance, RequestParams* params, Progress* progress) {
  char caption[kProgressCaptionSize];
  std::snprintf(caption, sizeof caption, "Connecting with ZEM@%s", DeviceAddressText);
  HWND window = OpenProgressDialog(instance, kConnectingDialog, kLastPosition, caption);
  HANDLE worker = CreateThread(nullptr, 0, RequestWorker, params, 0, nullptr);  // the handle is never closed
  if (worker == nullptr) {
    // Without a worker nothing would ever end the polling loop.
    DestroyWindow(window);
    FatalFailure("Upgrade Failed: Can't start the thread for the request");
  }
  ProgressDialog dialog = KeepProgressDialog(window, kConnectingPace, timeGetTime());
  while (!WorkerEnded(worker)) {
    TendProgressDialog(&dialog, timeGetTime());  // at most one message a pass
    Sleep(1);
    if (++progress->ticks == kTicksPerStep) {
      ShowProgress(&dialog, timeGetTime(), progress->position, nullptr, true);
      if (++progress->position > kLastPosition) progress->position = 0;
      progress->ticks = 0;
    }
  }
  DestroyWindow(window);
  DWORD exitCode = 0;
  GetExitCodeThread(worker, &exitCode);
  return static_cast<int>(exitCode);
}

}  // namespace

DWORD WINAPI RequestWorker(LPVOID raw) {
  const RequestParams* params = static_cast<const RequestParams*>(raw);
  Trace("HTTP %x:%u to %x:%u", params->localAddress, static_cast<unsigned>(params->localPort),
        params->deviceAddress, static_cast<unsigned>(params->devicePort));
  int result = HttpExchange(params->localAddress, params->localPort, params->deviceAddress, params->devicePort,
                            params->path, params->buffer, params->limit);
  return static_cast<DWORD>(result);
}

int RunDeviceRequest(HINSTANCE instance, std::uint32_t localAddress, std::uint16_t localPort,
                     std::uint32_t deviceAddress, std::uint16_t devicePort, const char* path, char* buffer,
                     int limit) {
  Progress progress{0, 0};
  int silentRetries = 0;
  for (;;) {
    RequestParams params{localAddress, localPort, deviceAddress, devicePort, path, buffer, limit};
    int result = RunAttempt(instance, &params, &progress);
    if (result >= 0) return result;
    // A challenge. Credentials were sent and the nonce is new (nonceCount back
    // at 0): the adapter dropped the old nonce, so repeat once without asking.
    // Otherwise, or after a silent retry that met a new nonce again, ask.
    if (AuthState.password[0] != '\0' && AuthState.nonceCount == 0 && silentRetries == 0) {
      ++silentRetries;
      continue;
    }
    INT_PTR answer = DialogBoxParamA(instance, MAKEINTRESOURCEA(kPasswordDialog), nullptr, PasswordDialogProc, 0);
    if (answer == 0) UserAbort();
    // -1: the dialog could not be made. Repeating would only meet the same
    // challenge again, without end and without asking anyone.
    if (answer == -1) FatalFailure("Upgrade Failed: the password dialog cannot be shown");
    silentRetries = 0;
  }
}
