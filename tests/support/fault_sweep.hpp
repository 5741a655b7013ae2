// The whole-operation fault sweep: a changing operation is run once cleanly, then again and again
// with the N-th file system call failing (EIO), for N = 1, 2, ... until a run completes without
// reaching the N-th call. After every run the data directory must hold either the state before
// the operation or the state the clean run left, byte for byte, and the result code must say
// which; no temporary file may be left and every lock must be free.
//
// A store plugs in with one table row: a name, the documents it changes, the starting state and
// the operation. During a sweep the clock stands at kSweepNow and the random generators (the
// kernel's and the key generator's) are replaced by a fixed stream that restarts with every run,
// so that a run which succeeds writes exactly the bytes of the clean run.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tarn::test {

inline constexpr std::int64_t kSweepNow = 1800000000;  // 2027-01-15 08:00:00 UTC

// Every regular file of the data directory by name, with its bytes; lock files and server.log
// (which a failing operation may write to) are left out.
using DirState = std::map<std::string, std::string>;
DirState dir_state(const std::string& dir);

// Empties the data directory `dir` (lock files stay, as they do on a real server) and writes
// `files` into it: the starting state of a sweep case.
void reset_dir(const std::string& dir, const DirState& files);

struct SweepRun {
    int nth;             // the call that failed (0 for the clean run)
    int result;          // what the operation returned
    const DirState& before;
    const DirState& after;
    const DirState& clean;   // after the clean run
    int clean_result;
};

struct SweepCase {
    SweepCase(std::string name_, std::vector<std::string> documents_, std::function<void()> setup_,
              std::function<int()> run_)
        : name(std::move(name_)), documents(std::move(documents_)), setup(std::move(setup_)),
          run(std::move(run_)) {}

    // Which results mean "changed" (by default: the clean run's result).
    SweepCase& changed_when(std::function<bool(int result, int clean_result)> fn) {
        changed = std::move(fn);
        return *this;
    }
    // For operations whose successful runs may differ from the clean one (a retry after a failed
    // save draws fresh randomness): replaces the byte comparison with the clean state for runs
    // that report a change.
    SweepCase& judged_by(std::function<void(const SweepRun&)> fn) {
        judge_changed = std::move(fn);
        return *this;
    }

    std::string name;
    std::vector<std::string> documents;  // the documents the operation changes
    std::function<void()> setup;         // writes the starting state; runs before every run
    std::function<int()> run;            // the operation; its result code
    std::function<bool(int result, int clean_result)> changed =
        [](int result, int clean_result) { return result == clean_result; };
    std::function<void(const SweepRun&)> judge_changed;
};

struct SweepSummary {
    int io_calls = 0;  // calls the clean run made
    int runs = 0;      // faulted runs
    int changed = 0;   // faulted runs that still reported the change
};

// Runs the sweep in the data directory `data_dir` (the one IDENTITY_DATA_DIR names), reporting
// every broken rule as a test failure that names the case and N.
SweepSummary fault_sweep(const std::string& data_dir, const SweepCase& c);

// The result a SweepRun of kill_sweep reports for a run whose process died before the operation
// returned.
inline constexpr int kKilled = -1000;

// The sweep with the process killed instead of a call failing: the operation runs in a forked
// child that exits, before the call is made, at its N-th file system call, for every N of the
// clean run. Every document must parse and every lock must be free (the kernel ends a dead
// holder's locks); a killed save may leave its temporary file. `judge` sees every killed run.
SweepSummary kill_sweep(const std::string& data_dir, const SweepCase& c,
                        const std::function<void(const SweepRun&)>& judge);

namespace testing {
// The number of file system calls made through the seam since the last reset (for tests of the
// sweep itself).
int io_calls();
}  // namespace testing

}  // namespace tarn::test
