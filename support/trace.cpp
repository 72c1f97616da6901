// The process's trace object, its default sink and its configuration from
// the environment.
#include "vektrace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vekruntime.h"

namespace {

// Constant-initialised (on Windows: first in this library), so that it
// exists before any dynamic initialiser of this or another library could
// trace.
VekTrace g_defaultTrace;

const char* levelName(unsigned level) {
    switch (level) {
    case VekTrace::kLevelEntry:
        return "enter";
    case VekTrace::kLevelExit:
        return "exit ";
    default:
        return "info ";
    }
}

void writeToStandardError(const VekTraceRecord& record, void*) {
    std::fprintf(stderr, "vek4cms: %s [%#x] %s:%d %.*s\n", levelName(record.level), record.component,
                 record.file != nullptr ? record.file : "-", record.line, static_cast<int>(record.length),
                 record.text != nullptr ? record.text : "");
}

bool parseNumber(const char* begin, const char* end, unsigned& value) {
    if (begin == end) return false;
    char digits[32];
    const std::size_t length = static_cast<std::size_t>(end - begin);
    if (length >= sizeof digits) return false;
    std::memcpy(digits, begin, length);
    digits[length] = '\0';
    // strtoul would also take a sign or leading white space.
    if (digits[0] < '0' || digits[0] > '9') return false;
    char* stop = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(digits, &stop, 0);
    if (errno != 0 || stop != digits + length || parsed > 0xFFFFFFFFul) return false;
    value = static_cast<unsigned>(parsed);
    return true;
}

void configureFromEnvironment() {
    const char* setting = std::getenv("VEK4CMS_TRACE");
    if (setting == nullptr) return;
    bool on = false;
    unsigned components = 0;
    unsigned levels = 0;
    if (!VekTrace::parseSetting(setting, on, components, levels)) {
        std::fprintf(stderr, "vek4cms: ignoring VEK4CMS_TRACE=\"%s\": expected 0, 1, all, C or C:L\n", setting);
        return;
    }
    if (on)
        g_defaultTrace.enable(components, levels);
    else
        g_defaultTrace.disable();
}

// Runs when the library is loaded, before any user of it can trace.
struct EnvironmentConfiguration {
    EnvironmentConfiguration() { configureFromEnvironment(); }
} g_environmentConfiguration;

} // namespace

VekTrace* VekTrace::s_defaultTracePtr = &g_defaultTrace;

bool VekTrace::isActive(const unsigned& component, const unsigned& level) const noexcept {
    return enabled.load(std::memory_order_relaxed) &&
           (componentMask.load(std::memory_order_relaxed) & component) != 0 &&
           (levelMask.load(std::memory_order_relaxed) & level) != 0;
}

bool VekTrace::write(const char* file, int line, unsigned level, const char* text, std::size_t length) noexcept {
    if (!enabled.load(std::memory_order_relaxed) || (levelMask.load(std::memory_order_relaxed) & level) == 0)
        return false;
    return deliver(file, line, 0, level, text, length);
}

bool VekTrace::write(const char* file, int line, const unsigned& component, const unsigned& level,
                     const char* text) noexcept {
    if (!isActive(component, level)) return false;
    return deliver(file, line, component, level, text, text != nullptr ? std::strlen(text) : 0);
}

bool VekTrace::deliver(const char* file, int line, unsigned component, unsigned level, const char* text,
                       std::size_t length) noexcept {
    const VekTraceRecord record{file, line, component, level, text, length};
    std::lock_guard<std::mutex> guard(sinkMutex_);
    if (sink_ != nullptr)
        sink_(record, sinkContext_);
    else
        writeToStandardError(record, nullptr);
    return true;
}

void VekTrace::enable(unsigned components, unsigned levels) noexcept {
    componentMask.store(components, std::memory_order_relaxed);
    levelMask.store(levels, std::memory_order_relaxed);
    enabled.store(true, std::memory_order_release);
}

void VekTrace::disable() noexcept { enabled.store(false, std::memory_order_release); }

void VekTrace::setSink(VekTraceSink sink, void* context) noexcept {
    std::lock_guard<std::mutex> guard(sinkMutex_);
    sink_ = sink;
    sinkContext_ = context;
}

bool VekTrace::parseSetting(const char* text, bool& on, unsigned& components, unsigned& levels) noexcept {
    if (text == nullptr || *text == '\0' || std::strcmp(text, "0") == 0) {
        on = false;
        return true;
    }
    if (std::strcmp(text, "1") == 0 || vekruntime::compareIgnoringCase(text, "all") == 0) {
        on = true;
        components = kAll;
        levels = kAll;
        return true;
    }
    const char* end = text + std::strlen(text);
    const char* colon = std::strchr(text, ':');
    unsigned parsedComponents = 0;
    unsigned parsedLevels = kAll;
    if (!parseNumber(text, colon != nullptr ? colon : end, parsedComponents)) return false;
    if (colon != nullptr && !parseNumber(colon + 1, end, parsedLevels)) return false;
    on = true;
    components = parsedComponents;
    levels = parsedLevels;
    return true;
}

VekTraceSentry::VekTraceSentry(const char* file, int line, unsigned component, const char* name) noexcept {
    VekTrace* trace = VekTrace::s_defaultTracePtr;
    if (trace->isActive(component, VekTrace::kLevelEntry) &&
        trace->write(file, line, component, VekTrace::kLevelEntry, name)) {
        name_ = name;
        component_ = component;
    }
}

VekTraceSentry::~VekTraceSentry() {
    if (name_ == nullptr) return;
    VekTrace::s_defaultTracePtr->write(nullptr, 0, component_, VekTrace::kLevelExit, name_);
}
