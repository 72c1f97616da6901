// Trace records: a process-wide trace object with an enabled flag and
// component and level masks, and a sink that receives the wanted records.
#ifndef VEKTRACE_H
#define VEKTRACE_H

#include <atomic>
#include <cstddef>
#include <mutex>

#include "vek4_export.h"

// std::mutex has a constant constructor everywhere but with MinGW's POSIX
// threads, whose mutex starts as a value set at run time. There the trace
// object is made while its DLL loads, which is still before any library
// that uses it is loaded.
#if defined(_WIN32)
#define VEKTRACE_CONSTEXPR
#else
#define VEKTRACE_CONSTEXPR constexpr
#endif

// One record as a sink sees it. The pointers are valid during the sink call
// only; file is null for exit records, text is not NUL-terminated.
struct VekTraceRecord {
    const char* file;
    int line;
    unsigned component;
    unsigned level;
    const char* text;
    std::size_t length;
};

// Receives records, one call at a time (the trace object serialises calls),
// so a sink needs no lock of its own. A sink must not write trace records.
using VekTraceSink = void (*)(const VekTraceRecord& record, void* context);

class VEK4CMS_API VekTrace {
public:
    static constexpr unsigned kLevelEntry = 0x80000000u;
    static constexpr unsigned kLevelExit = 0x40000000u;
    static constexpr unsigned kLevelInfo = 0x1u;
    static constexpr unsigned kAll = 0xFFFFFFFFu;

    // The process's trace object; never null. At load time it is configured
    // from the environment variable VEK4CMS_TRACE (see parseSetting).
    static VekTrace* s_defaultTracePtr;

    // Read directly by callers: a record of component C and level L is wanted
    // when enabled is set, componentMask has C's bits and levelMask has L's.
    std::atomic<bool> enabled;
    std::atomic<unsigned> componentMask;
    std::atomic<unsigned> levelMask;

    VEKTRACE_CONSTEXPR VekTrace() noexcept : enabled(false), componentMask(0), levelMask(0) {}
    VekTrace(const VekTrace&) = delete;
    VekTrace& operator=(const VekTrace&) = delete;

    bool isActive(const unsigned& component, const unsigned& level) const noexcept;

    // Delivers a record with no component; wanted when enabled and levelMask
    // has the level. True when delivered.
    bool write(const char* file, int line, unsigned level, const char* text, std::size_t length) noexcept;
    // Delivers a record of a component when isActive says so. True when delivered.
    bool write(const char* file, int line, const unsigned& component, const unsigned& level,
               const char* text) noexcept;

    void enable(unsigned components, unsigned levels) noexcept;
    void disable() noexcept;

    // Installs a sink; a null sink restores the default, which prints one line
    // a record on standard error.
    void setSink(VekTraceSink sink, void* context) noexcept;

    // Reads a VEK4CMS_TRACE value: unset, empty or "0" disables; "1" or "all"
    // enables everything; "C" enables components C at every level; "C:L"
    // enables components C at levels L (numbers as strtoul reads them with
    // base 0, so hexadecimal with 0x). False for anything else, and the
    // masks are then left as they came in.
    static bool parseSetting(const char* text, bool& on, unsigned& components, unsigned& levels) noexcept;

private:
    bool deliver(const char* file, int line, unsigned component, unsigned level, const char* text,
                 std::size_t length) noexcept;

    std::mutex sinkMutex_;
    VekTraceSink sink_ = nullptr;
    void* sinkContext_ = nullptr;
};

// Writes the entry record of a traced function when it is constructed and,
// if that was written, the exit record (no file, line 0) when it goes out of
// scope, on a return and when an exception passes alike.
class VEK4CMS_API VekTraceSentry {
public:
    VekTraceSentry(const char* file, int line, unsigned component, const char* name) noexcept;
    ~VekTraceSentry();
    VekTraceSentry(const VekTraceSentry&) = delete;
    VekTraceSentry& operator=(const VekTraceSentry&) = delete;

private:
    const char* name_ = nullptr; // set only when the entry record was written
    unsigned component_ = 0;
};

#endif // VEKTRACE_H
