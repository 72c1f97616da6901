// Captures the trace records of the components and levels asked for while it lives,
// then puts the previous trace configuration back.
#ifndef TESTS_TRACE_CAPTURE_H
#define TESTS_TRACE_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "vektrace.h"

struct CapturedRecord {
    std::string file; // "" when the record had none
    int line;
    unsigned component, level;
    std::string text;
};

class TraceCapture {
public:
    explicit TraceCapture(unsigned components = VekTrace::kAll, unsigned levels = VekTrace::kAll)
        : savedEnabled_(trace_->enabled.load()), savedComponents_(trace_->componentMask.load()), savedLevels_(trace_->levelMask.load()) {
        // A MinGW mutex allocates on its first lock: not inside an allocation-failure window.
        { std::lock_guard<std::mutex> warm(mutex_); }
        trace_->setSink(&TraceCapture::collect, this);
        trace_->enable(components, levels);
    }
    ~TraceCapture() {
        trace_->setSink(nullptr, nullptr);
        trace_->enable(savedComponents_, savedLevels_);
        if (!savedEnabled_) trace_->disable();
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
        for (const auto& record : records()) if (record.level == level) found.push_back(record.text);
        return found;
    }

private:
    static void collect(const VekTraceRecord& r, void* context) {
        auto* self = static_cast<TraceCapture*>(context);
        std::lock_guard<std::mutex> guard(self->mutex_);
        self->records_.push_back({r.file != nullptr ? r.file : "", r.line, r.component, r.level, std::string(r.text, r.length)});
    }
    VekTrace* const trace_ = VekTrace::s_defaultTracePtr;
    mutable std::mutex mutex_;
    std::vector<CapturedRecord> records_;
    const bool savedEnabled_;
    const unsigned savedComponents_, savedLevels_;
};

#endif // TESTS_TRACE_CAPTURE_H
