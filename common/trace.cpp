#include "common/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
std::atomic<TraceSink> g_sink{nullptr};
}

void SetTraceSink(TraceSink sink) { g_sink.store(sink); }

void Trace(const char* format, ...) {
  TraceSink sink = g_sink.load();
  if (sink == nullptr) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  std::size_t length = static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1;
  sink(text, length);
}

void TraceText(const char* text, std::size_t count) {
  TraceSink sink = g_sink.load();
  if (sink == nullptr || text == nullptr) return;
  sink(text, count != 0 ? count : std::strlen(text));
}
