// What the benchmark programs share: a console reporter that also keeps
// what each benchmark measured, so that a program can print, at its end,
// ratios between benchmarks of the same run; a page-fault counter; and the
// main function that runs them and prints the summary.
#ifndef BENCH_SUMMARY_H
#define BENCH_SUMMARY_H

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct Measurement {
    double seconds = 0;        // per call
    double bytesPerSecond = 0; // input bytes
    double faultsPerCall = 0;
    bool isMedian = false;
};

// Prints as usual and keeps, per benchmark and argument, the median when
// repetitions are aggregated and otherwise the last run.
class SummarisingReporter : public benchmark::ConsoleReporter {
public:
    SummarisingReporter() : ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (run.run_type == Run::RT_Aggregate && !median)) continue;
            Measurement& m = results_[run.run_name.function_name][run.run_name.args];
            if (m.isMedian && !median) continue;
            m.isMedian = median;
            m.seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const auto counter = [&](const char* name) {
                const auto found = run.counters.find(name);
                return found == run.counters.end() ? 0.0 : found->second.value;
            };
            m.bytesPerSecond = counter("bytes_per_second");
            m.faultsPerCall = counter("faults_per_call");
        }
    }

    // What name measured with argument args ("" when it takes none); null
    // when it did not run.
    const Measurement* find(const std::string& name, const std::string& args) const {
        const auto byName = results_.find(name);
        if (byName == results_.end()) return nullptr;
        const auto byArgs = byName->second.find(args);
        return byArgs == byName->second.end() || byArgs->second.seconds <= 0 ? nullptr : &byArgs->second;
    }
    // The arguments name ran with.
    std::vector<std::string> argumentsOf(const std::string& name) const {
        std::vector<std::string> args;
        const auto byName = results_.find(name);
        if (byName != results_.end())
            for (const auto& entry : byName->second) args.push_back(entry.first);
        return args;
    }
    const char* kindOfFigures() const {
        for (const auto& [name, byArgs] : results_)
            for (const auto& [args, m] : byArgs)
                if (m.isMedian) return "medians of the repetitions";
        return "single runs";
    }

private:
    std::map<std::string, std::map<std::string, Measurement>> results_;
};

inline long minorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Ends a benchmark's loop: the bytes counted are the input's, and the page
// faults taken during the loop are reported per call.
class FaultCounter {
public:
    explicit FaultCounter(benchmark::State& state) : state_(state), start_(minorFaults()) {}
    void finish(std::size_t inputBytes) {
        const long faults = minorFaults() - start_;
        state_.SetBytesProcessed(state_.iterations() * static_cast<std::int64_t>(inputBytes));
        state_.counters["faults_per_call"] =
            benchmark::Counter(static_cast<double>(faults), benchmark::Counter::kAvgIterations);
    }

private:
    benchmark::State& state_;
    long start_;
};

// Runs the benchmarks the command line selects, then printSummary.
inline int runAndSummarise(int argc, char** argv, void (*printSummary)(const SummarisingReporter&)) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummarisingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printSummary(reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace bench

#endif // BENCH_SUMMARY_H
