// Diagnostic trace sinks. In the product both discard what they are given;
// a test may install a sink to watch the trace points.
#pragma once

#include <cstddef>

// Formatted trace point (printf conventions).
void Trace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Raw text trace point: `count` bytes of `text`, or up to its zero byte when count is 0.
void TraceText(const char* text, std::size_t count);

// Test hook: receives every trace point as formatted text. Null (the default) discards.
using TraceSink = void (*)(const char* text, std::size_t length);
void SetTraceSink(TraceSink sink);
