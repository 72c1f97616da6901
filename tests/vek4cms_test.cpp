// The support library's trace, mutex and growable buffer.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "random_bytes.h"
#include "run_command.h"
#include "trace_capture.h"
#include "vekbuffer.h"
#include "vekmutex.h"
#include "vektrace.h"

namespace {

constexpr unsigned kEntry = VekTrace::kLevelEntry;
constexpr unsigned kExit = VekTrace::kLevelExit;
constexpr unsigned kInfo = VekTrace::kLevelInfo;

// --- Trace settings -------------------------------------------------------

struct SettingCase {
    const char* name;
    const char* text;
    bool on;
    unsigned components;
    unsigned levels;
};

const SettingCase kAcceptedSettings[] = {
    {"empty disables", "", false, 0, 0},
    {"0 disables", "0", false, 0, 0},
    {"1 enables everything", "1", true, 0xFFFFFFFFu, 0xFFFFFFFFu},
    {"all in any case", "ALL", true, 0xFFFFFFFFu, 0xFFFFFFFFu},
    {"a component alone means every level", "0x400", true, 0x400, 0xFFFFFFFFu},
    {"component and levels in hexadecimal", "0x400:0xC0000001", true, 0x400, 0xC0000001u},
    {"decimal numbers", "1024:1", true, 1024, 1},
    {"octal, as strtoul reads a leading 0", "010:0", true, 8, 0},
};

TEST(VekTraceParseSetting, AcceptsTheDocumentedForms) {
    for (const auto& c : kAcceptedSettings) {
        SCOPED_TRACE(c.name);
        bool on = !c.on;
        unsigned components = 0x5A5A;
        unsigned levels = 0xA5A5;
        ASSERT_TRUE(VekTrace::parseSetting(c.text, on, components, levels));
        EXPECT_EQ(on, c.on);
        if (c.on) {
            EXPECT_EQ(components, c.components);
            EXPECT_EQ(levels, c.levels);
        }
    }
}

TEST(VekTraceParseSetting, RefusesAnythingElseAndKeepsTheMasks) {
    const char* const refused[] = {"yes", "0x400:", ":1", "0x400:zz", "-1", "+1", "0x1FFFFFFFF", "1:2:3", " 1",
                                   "0x400 "};
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        bool on = false;
        unsigned components = 0x5A5A;
        unsigned levels = 0xA5A5;
        EXPECT_FALSE(VekTrace::parseSetting(text, on, components, levels));
        EXPECT_FALSE(on);
        EXPECT_EQ(components, 0x5A5Au);
        EXPECT_EQ(levels, 0xA5A5u);
    }
}

// The environment is read when the library loads, so the check runs in a
// child process of this test program that starts with VEK4CMS_TRACE set.
TEST(VekTraceEnvironment, ChildSeesItsSetting) {
    const char* expected = std::getenv("VEK4CMS_TRACE_EXPECT");
    if (expected == nullptr) GTEST_SKIP() << "runs only as the child of ConfiguresTheTraceAtLoad";
    const VekTrace* trace = VekTrace::s_defaultTracePtr;
    char actual[64];
    std::snprintf(actual, sizeof actual, "%d:%#x:%#x", trace->enabled.load() ? 1 : 0, trace->componentMask.load(),
                  trace->levelMask.load());
    EXPECT_STREQ(actual, expected);
}

TEST(VekTraceEnvironment, ConfiguresTheTraceAtLoad) {
    struct Case {
        const char* setting;
        const char* expected;
    };
    const Case cases[] = {
        {"0x400:0x1", "1:0x400:0x1"},
        {"all", "1:0xffffffff:0xffffffff"},
        {"0", "0:0:0"},
        {"nonsense", "0:0:0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        const CommandResult child =
            runCommand({thisProgram(), "--gtest_filter=VekTraceEnvironment.ChildSeesItsSetting"}, "",
                       {std::string("VEK4CMS_TRACE=") + c.setting, std::string("VEK4CMS_TRACE_EXPECT=") + c.expected});
        EXPECT_EQ(child.status, 0) << child.out;
    }
}

// --- Trace records ----------------------------------------------------------

TEST(VekTraceWrite, DeliversOnlyWhatTheMasksWant) {
    TraceCapture capture(0x400, kEntry | kInfo);
    VekTrace* trace = VekTrace::s_defaultTracePtr;
    const unsigned ours = 0x400;
    const unsigned other = 0x200;
    EXPECT_TRUE(trace->write("a.cpp", 1, ours, kInfo, "wanted"));
    EXPECT_FALSE(trace->write("a.cpp", 2, other, kInfo, "other component"));
    EXPECT_FALSE(trace->write("a.cpp", 3, ours, kExit, "level not wanted"));
    EXPECT_TRUE(trace->write("b.cpp", 4, kInfo, "no component", 12));
    trace->disable();
    EXPECT_FALSE(trace->write("a.cpp", 5, ours, kInfo, "disabled"));
    EXPECT_FALSE(trace->isActive(ours, kInfo));

    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].file, "a.cpp");
    EXPECT_EQ(records[0].line, 1);
    EXPECT_EQ(records[0].component, 0x400u);
    EXPECT_EQ(records[0].level, kInfo);
    EXPECT_EQ(records[0].text, "wanted");
    EXPECT_EQ(records[1].component, 0u);
    EXPECT_EQ(records[1].text, "no component");
}

TEST(VekTraceWrite, DefaultSinkPrintsOneLineOnStandardError) {
    VekTrace* trace = VekTrace::s_defaultTracePtr;
    trace->enable(VekTrace::kAll, VekTrace::kAll);
    testing::internal::CaptureStderr();
    const unsigned component = 0x400;
    trace->write("src/sbase64", 42, component, kInfo, "hello");
    const std::string printed = testing::internal::GetCapturedStderr();
    trace->disable();
    EXPECT_NE(printed.find("src/sbase64:42 hello\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("0x400"), std::string::npos) << printed;
}

void tracedFunction(bool fail) {
    const VekTraceSentry sentry("src/example", 7, 0x400, "example()");
    if (fail) throw std::runtime_error("leaves by exception");
}

TEST(VekTraceSentry, WritesEntryAndExitAroundTheScope) {
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "left by an exception" : "left by a return");
        TraceCapture capture;
        try {
            tracedFunction(fail);
        } catch (const std::runtime_error&) {
        }
        const auto records = capture.records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].level, kEntry);
        EXPECT_EQ(records[0].file, "src/example");
        EXPECT_EQ(records[0].line, 7);
        EXPECT_EQ(records[0].text, "example()");
        EXPECT_EQ(records[1].level, kExit);
        EXPECT_EQ(records[1].file, "");
        EXPECT_EQ(records[1].line, 0);
        EXPECT_EQ(records[1].component, 0x400u);
        EXPECT_EQ(records[1].text, "example()");
    }
}

TEST(VekTraceSentry, WritesNoExitWithoutItsEntry) {
    TraceCapture capture(0x400, kExit);
    tracedFunction(false);
    EXPECT_TRUE(capture.records().empty());
}

TEST(VekTraceWrite, SerialisesConcurrentWriters) {
    TraceCapture capture;
    constexpr int kThreads = 4;
    constexpr int kRecords = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < kRecords; ++i) tracedFunction(false);
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(capture.records().size(), 2u * kThreads * kRecords);
}

// --- Mutex --------------------------------------------------------------------

TEST(VekMutexLocker, ExcludesOtherThreads) {
    VekMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                VekMutexLocker locker(&mutex);
                ++counter;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 80000);
}

// Locking from another thread shows whether the mutex is free without risking
// a deadlock in the test itself.
bool isFreeFromAnotherThread(VekMutex& mutex) {
    auto attempt = std::async(std::launch::async, [&] { VekMutexLocker locker(&mutex); });
    return attempt.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
}

TEST(VekMutexLocker, UnlocksEarlyAndOnlyOnce) {
    VekMutex mutex;
    {
        VekMutexLocker locker(&mutex);
        locker.unlock();
        ASSERT_TRUE(isFreeFromAnotherThread(mutex));
        mutex.lock(); // the locker's destructor must not unlock this
    }
    auto blocked = std::async(std::launch::async, [&] { VekMutexLocker locker(&mutex); });
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    mutex.unlock();
    blocked.wait();
}

TEST(VekMutexLocker, NullMutexIsNotLocked) {
    VekMutexLocker locker(nullptr);
    locker.unlock();
    SUCCEED();
}

// --- Buffer -------------------------------------------------------------------

std::string contents(const VekBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.getValue()), buffer.getLength());
}

TEST(VekBuffer, KeepsAppendedBytesInOrderAcrossGrowth) {
    const std::string data = randomBytes(100000, 1);
    VekBuffer buffer;
    std::string expected;
    std::size_t offset = 0;
    for (std::size_t piece = 1; offset < data.size(); piece = piece * 3 % 4097 + 1) {
        const std::size_t length = std::min(piece, data.size() - offset);
        buffer.append(data.data() + offset, length);
        expected.append(data, offset, length);
        offset += length;
    }
    EXPECT_EQ(contents(buffer), expected);
}

// Buffers of several megabytes take the huge-page path of their growth.
TEST(VekBuffer, LargeBuffersKeepTheirContents) {
    const std::string data = randomBytes(9 << 20, 2);
    VekBuffer grown;
    for (std::size_t at = 0; at < data.size(); at += 1 << 20) grown.append(data.data() + at, 1 << 20);
    EXPECT_TRUE(contents(grown) == data);
    VekBuffer reserved(data.size(), nullptr);
    reserved.append(data.data(), data.size());
    EXPECT_TRUE(contents(reserved) == data);
}

TEST(VekBuffer, SizeConstructorOnlyReserves) {
    VekBuffer buffer(4096, nullptr);
    EXPECT_EQ(buffer.getLength(), 0u);
    EXPECT_GE(buffer.getCapacity(), 4096u);
    buffer.append("abc", 3);
    EXPECT_EQ(contents(buffer), "abc");
}

TEST(VekBuffer, PreparedBytesCountOnlyOnceCommitted) {
    VekBuffer buffer;
    buffer.append("ab", 2);
    unsigned char* tail = buffer.prepareAppend(10);
    EXPECT_EQ(buffer.getLength(), 2u);
    tail[0] = 'c';
    tail[1] = 'd';
    buffer.commit(2);
    EXPECT_EQ(contents(buffer), "abcd");
}

TEST(VekBuffer, CopiesAreIndependentAndMovesEmptyTheSource) {
    VekBuffer original;
    original.append("hello", 5);
    VekBuffer copy(original);
    VekBuffer assigned;
    assigned.append("old", 3);
    assigned = original;
    copy.append("!", 1);
    EXPECT_EQ(contents(original), "hello");
    EXPECT_EQ(contents(copy), "hello!");
    EXPECT_EQ(contents(assigned), "hello");

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

TEST(VekBuffer, ImpossibleGrowthThrowsAndKeepsTheContents) {
    VekBuffer buffer;
    buffer.append("keep", 4);
    EXPECT_THROW(buffer.prepareAppend(std::numeric_limits<std::size_t>::max() - 2), std::bad_alloc);
    EXPECT_THROW(buffer.reserve(std::numeric_limits<std::size_t>::max()), std::bad_alloc);
    EXPECT_EQ(contents(buffer), "keep");
}

TEST(RBuffer, IsAViewOfTheCallersBytes) {
    const char bytes[] = "view";
    const r_buffer_t view(bytes, 4);
    EXPECT_EQ(static_cast<const void*>(view.data), static_cast<const void*>(bytes));
    EXPECT_EQ(view.length, 4u);
}

} // namespace
