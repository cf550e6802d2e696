// Threads, the process's end, the clock and sleeping.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "port/frontend.h"
#include "port/system.h"
#include "port/win32.h"

namespace {

// A thread handle: the routine, its parameter, whether it has returned and its result.
// Handles are never freed, like the handles the program never closes; each
// stays on the list of every handle made, so it is held, not lost, until the
// process ends.
struct PortThread {
  LPTHREAD_START_ROUTINE start;
  LPVOID parameter;
  std::atomic<bool> finished{false};
  std::atomic<DWORD> result{0};
  DWORD id = 0;
  PortThread* next = nullptr;
};

std::atomic<PortThread*> g_threads{nullptr};

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

void* RunThread(void* raw) {
  PortThread* thread = static_cast<PortThread*>(raw);
  t_threadId = thread->id;
  DWORD result = thread->start(thread->parameter);
  thread->result.store(result);
  thread->finished.store(true);
  return nullptr;
}

std::atomic<PortFrontEndExit> g_frontEndExit{nullptr};

}  // namespace

HANDLE CreateThread(LPVOID, std::size_t stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    LPDWORD threadId) {
  if (!PortSystemInUse().threadGranted()) return nullptr;
  PortThread* thread = new (std::nothrow) PortThread;
  if (thread == nullptr) return nullptr;
  thread->start = start;
  thread->parameter = parameter;
  thread->id = g_nextThreadId.fetch_add(1);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) pthread_attr_setstacksize(&attributes, stackSize);
  pthread_t posixThread;
  int failed = pthread_create(&posixThread, &attributes, RunThread, thread);
  pthread_attr_destroy(&attributes);
  if (failed != 0) {
    delete thread;
    return nullptr;
  }
  thread->next = g_threads.load();
  while (!g_threads.compare_exchange_weak(thread->next, thread)) {
  }
  if (threadId != nullptr) *threadId = thread->id;
  return thread;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  if (handle == nullptr || exitCode == nullptr) return FALSE;
  PortThread* thread = static_cast<PortThread*>(handle);
  *exitCode = thread->finished.load() ? thread->result.load() : static_cast<DWORD>(STILL_ACTIVE);
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (handle == nullptr) return WAIT_TIMEOUT;
  PortThread* thread = static_cast<PortThread*>(handle);
  // Real time, whatever the clock of the system in use.
  DWORD (*realClock)() = PortRealSystem().clock;
  DWORD start = realClock();
  while (!thread->finished.load()) {
    if (milliseconds != INFINITE && realClock() - start >= milliseconds) return WAIT_TIMEOUT;
    timespec pause{0, 200000};
    nanosleep(&pause, nullptr);
  }
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE) { return TRUE; }

DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(1);
  return t_threadId;
}

void PortSetFrontEndExit(PortFrontEndExit restore) { g_frontEndExit.store(restore); }

void ExitProcess(UINT exitCode) {
  PortSystemInUse().exiting(exitCode);
  if (PortFrontEndExit restore = g_frontEndExit.load()) restore();
  std::fflush(stdout);
  std::fflush(stderr);
  // Other threads may be blocked anywhere; end at once without running destructors.
  std::_Exit(static_cast<int>(exitCode));
}

DWORD timeGetTime() { return PortSystemInUse().clock(); }

void Sleep(DWORD milliseconds) {
  unsigned rate = PortClockRate();
  std::uint64_t ns = static_cast<std::uint64_t>(milliseconds) * 1000000ULL / rate;
  timespec pause{static_cast<time_t>(ns / 1000000000ULL), static_cast<long>(ns % 1000000000ULL)};
  while (nanosleep(&pause, &pause) != 0) {
  }
}

UINT timeBeginPeriod(UINT) { return 0; }
UINT timeEndPeriod(UINT) { return 0; }
