// Captures the trace records written while it lives: installs a sink on the
// process's trace object and enables every component and level, then puts
// the previous configuration back.
#ifndef TESTS_TRACE_CAPTURE_H
#define TESTS_TRACE_CAPTURE_H

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "vektrace.h"

struct CapturedRecord {
    std::string file; // "" when the record had none
    int line;
    unsigned component;
    unsigned level;
    std::string text;
};

class TraceCapture {
public:
    explicit TraceCapture(unsigned components = VekTrace::kAll, unsigned levels = VekTrace::kAll) {
        VekTrace* trace = VekTrace::s_defaultTracePtr;
        savedEnabled_ = trace->enabled.load();
        savedComponents_ = trace->componentMask.load();
        savedLevels_ = trace->levelMask.load();
        // With MinGW's POSIX threads a mutex allocates on its first lock,
        // which must not happen inside a test's allocation-failure window.
        { std::lock_guard<std::mutex> warm(mutex_); }
        trace->setSink(&TraceCapture::collect, this);
        trace->enable(components, levels);
    }
    ~TraceCapture() {
        VekTrace* trace = VekTrace::s_defaultTracePtr;
        trace->setSink(nullptr, nullptr);
        trace->enable(savedComponents_, savedLevels_);
        if (!savedEnabled_) trace->disable();
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<CapturedRecord> records() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return records_;
    }

    // The texts of the records of one level, in order.
    std::vector<std::string> texts(unsigned level) const {
        std::vector<std::string> found;
        for (const auto& record : records())
            if (record.level == level) found.push_back(record.text);
        return found;
    }

    bool hasText(unsigned level, const std::string& text) const {
        const auto found = texts(level);
        return std::find(found.begin(), found.end(), text) != found.end();
    }

private:
    static void collect(const VekTraceRecord& record, void* context) {
        auto* self = static_cast<TraceCapture*>(context);
        std::lock_guard<std::mutex> guard(self->mutex_);
        self->records_.push_back({record.file != nullptr ? record.file : "", record.line, record.component,
                                  record.level, std::string(record.text, record.length)});
    }

    mutable std::mutex mutex_;
    std::vector<CapturedRecord> records_;
    bool savedEnabled_ = false;
    unsigned savedComponents_ = 0;
    unsigned savedLevels_ = 0;
};

#endif // TESTS_TRACE_CAPTURE_H
