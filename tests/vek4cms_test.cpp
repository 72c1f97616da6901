// The support library's trace and growable buffer.
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "trace_capture.h"
#include "vekbuffer.h"
#include "vektrace.h"

namespace {

constexpr unsigned kEntry = VekTrace::kLevelEntry, kExit = VekTrace::kLevelExit, kInfo = VekTrace::kLevelInfo;

TEST(VekTraceParseSetting, AcceptsTheDocumentedFormsOnly) {
    // "010" is octal, as strtoul reads a leading 0.
    struct Case { const char* text; bool accepted = false, on = false; unsigned components = 0, levels = 0; };
    const Case cases[] = {
        {"", true, false, 0, 0}, {"0", true, false, 0, 0}, {"010:0", true, true, 8, 0}, {"1024:1", true, true, 1024, 1},
        {"1", true, true, 0xFFFFFFFFu, 0xFFFFFFFFu}, {"ALL", true, true, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {"0x400", true, true, 0x400, 0xFFFFFFFFu}, {"0x400:0xC0000001", true, true, 0x400, 0xC0000001u},
        {"yes"}, {"0x400:"}, {":1"}, {"0x400:zz"}, {"-1"}, {"+1"}, {"0x1FFFFFFFF"}, {"1:2:3"}, {" 1"}, {"0x400 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        bool on = !c.on;
        unsigned components = 0x5A5A, levels = 0xA5A5;
        ASSERT_EQ(VekTrace::parseSetting(c.text, on, components, levels), c.accepted);
        EXPECT_EQ(on, c.accepted ? c.on : true) << "a refusal keeps what it was given";
        if (!c.accepted || c.on) {
            EXPECT_EQ(components, c.accepted ? c.components : 0x5A5Au);
            EXPECT_EQ(levels, c.accepted ? c.levels : 0xA5A5u);
        }
    }
}

TEST(VekTraceWrite, PrintsOrDeliversOnlyWhatTheMasksWant) {
    VekTrace* trace = VekTrace::s_defaultTracePtr;
    trace->enable(VekTrace::kAll, VekTrace::kAll);
    testing::internal::CaptureStderr();
    trace->write("src/sbase64", 42, 0x400u, kInfo, "hello");
    const std::string printed = testing::internal::GetCapturedStderr();
    trace->disable();
    EXPECT_NE(printed.find("src/sbase64:42 hello\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("0x400"), std::string::npos) << printed;
    TraceCapture capture(0x400, kEntry | kInfo);
    EXPECT_TRUE(trace->write("a.cpp", 1, 0x400u, kInfo, "wanted"));
    EXPECT_FALSE(trace->write("a.cpp", 2, 0x200u, kInfo, "other component"));
    EXPECT_FALSE(trace->write("a.cpp", 3, 0x400u, kExit, "level not wanted"));
    EXPECT_TRUE(trace->write("b.cpp", 4, kInfo, "no component", 12));
    trace->disable();
    EXPECT_FALSE(trace->write("a.cpp", 5, 0x400u, kInfo, "disabled"));
    EXPECT_FALSE(trace->isActive(0x400, kInfo));
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].file == "a.cpp" && records[0].line == 1 && records[0].component == 0x400u &&
                records[0].level == kInfo && records[0].text == "wanted");
    EXPECT_TRUE(records[1].component == 0u && records[1].text == "no component");
}

void tracedFunction(bool fail) {
    const VekTraceSentry sentry("src/example", 7, 0x400, "example()");
    if (fail) throw std::runtime_error("leaves by exception");
}

TEST(VekTraceSentry, WritesEntryAndExitAroundTheScope) {
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "left by an exception" : "left by a return");
        TraceCapture capture;
        try { tracedFunction(fail); } catch (const std::runtime_error&) {}
        const auto records = capture.records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_TRUE(records[0].level == kEntry && records[0].file == "src/example" && records[0].line == 7);
        EXPECT_TRUE(records[1].level == kExit && records[1].file.empty() && records[1].line == 0);
        for (const auto& record : records) EXPECT_TRUE(record.component == 0x400u && record.text == "example()");
    }
    TraceCapture exitsOnly(0x400, kExit);
    tracedFunction(false);
    EXPECT_TRUE(exitsOnly.records().empty()) << "no exit without its entry";
}

std::string contents(const VekBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.getValue()), buffer.getLength());
}

TEST(VekBuffer, RefusesImpossibleGrowthCopiesAndMoves) {
    VekBuffer original, assigned;
    original.append("hello", 5);
    EXPECT_THROW(original.prepareAppend(std::numeric_limits<std::size_t>::max() - 5), std::bad_alloc);
    EXPECT_THROW(original.reserve(std::numeric_limits<std::size_t>::max()), std::bad_alloc);
    assigned.append("old", 3);
    VekBuffer copy(original);
    assigned = original;
    copy.append("!", 1);
    EXPECT_TRUE(contents(original) == "hello" && contents(copy) == "hello!" && contents(assigned) == "hello");
    VekBuffer moved(std::move(copy));
    EXPECT_EQ(contents(moved), "hello!");
    EXPECT_EQ(copy.getLength(), 0u); // NOLINT(bugprone-use-after-move): moved-from state is part of the contract
    EXPECT_EQ(copy.getValue(), nullptr);
    assigned = std::move(moved);
    EXPECT_EQ(contents(assigned), "hello!");
    const VekBuffer& same = assigned;
    assigned = same;
    EXPECT_EQ(contents(assigned), "hello!");
}

} // namespace
