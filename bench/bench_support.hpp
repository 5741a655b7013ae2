// What the benchmark programs share: a scratch data directory for the run, and Google Benchmark's
// console output with the median of every case kept for the summary each program prints.
#pragma once

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tarn::bench {

// A directory of its own under $TMPDIR (else /tmp), made the working directory so that no
// config.json is picked up, with IDENTITY_DATA_DIR naming "<dir>/data" inside it (created by the
// first operation that saves, as in a fresh installation). Removed with all it holds when the
// object goes. On tmpfs (TMPDIR=/dev/shm) a save costs its parse and write alone; on a disk, its
// fsync weighs in.
class ScratchDir {
public:
    explicit ScratchDir(std::string_view name) {
        const char* tmp = std::getenv("TMPDIR");
        path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarn-" + std::string(name) + "-XXXXXX";
        made_ = ::mkdtemp(path_.data()) != nullptr;
        ok_ = made_ && ::chdir(path_.c_str()) == 0 && ::setenv("IDENTITY_DATA_DIR", data().c_str(), 1) == 0;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (made_) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    explicit operator bool() const { return ok_; }
    const std::string& path() const { return path_; }
    std::string data() const { return path_ + "/data"; }

private:
    std::string path_;
    bool made_ = false;
    bool ok_ = false;
};

// The median of a case in seconds per operation, by the wall clock and by the process's CPU time
// (user and system: on a machine shared with other work, the wall clock also counts the time spent
// waiting for a CPU). Negative when the case did not run.
struct Median {
    double real = -1;
    double cpu = -1;
    bool ran() const { return real >= 0; }
};

// Google Benchmark's console output, keeping the median of every case that ran, by its name, or
// "<name>/<argument>" for a case run with arguments.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    explicit MedianReporter(OutputOptions options = OO_Defaults) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Aggregate || r.aggregate_name != "median" || r.error_occurred) continue;
            const double per_second = benchmark::GetTimeUnitMultiplier(r.time_unit);
            const std::string& args = r.run_name.args;
            medians_[r.run_name.function_name + (args.empty() ? "" : "/" + args)] = {
                r.GetAdjustedRealTime() / per_second, r.GetAdjustedCPUTime() / per_second};
        }
        ConsoleReporter::ReportRuns(runs);
    }

    Median of(const std::string& name) const {
        const auto it = medians_.find(name);
        return it == medians_.end() ? Median{} : it->second;
    }
    const std::map<std::string, Median>& all() const { return medians_; }

private:
    std::map<std::string, Median> medians_;
};

}  // namespace tarn::bench
