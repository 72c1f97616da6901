// Trace records of the library: every record is written under the library's
// component, 0x400, through the support library's trace object.
#ifndef SMIME_STRACE_H
#define SMIME_STRACE_H

#include "vektrace.h"

namespace detail {

constexpr unsigned kTraceComponent = 0x400;

// An error or progress record (level 1).
inline void traceText(const char* file, int line, const char* text) noexcept {
    // Local copies: binding the class constants to the reference parameters
    // would make every library that traces define and export them.
    const unsigned component = kTraceComponent;
    const unsigned level = VekTrace::kLevelInfo;
    VekTrace* trace = VekTrace::s_defaultTracePtr;
    if (trace->isActive(component, level)) trace->write(file, line, component, level, text);
}

} // namespace detail

// Entry record now, exit record when the enclosing scope ends. Each source
// file defines kTraceFile, its own name for records.
#define SMIME_TRACE_SCOPE(name) \
    const VekTraceSentry smimeTraceSentry(kTraceFile, __LINE__, ::detail::kTraceComponent, name)

#define SMIME_TRACE_TEXT(text) ::detail::traceText(kTraceFile, __LINE__, text)

#endif // SMIME_STRACE_H
