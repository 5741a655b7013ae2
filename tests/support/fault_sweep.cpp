#include "support/fault_sweep.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bearssl.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "crypto/random.hpp"
#include "foundation/clock.hpp"
#include "foundation/fileio.hpp"
#include "id_foundation.h"
#include "keys/key_store.hpp"
#include "support/test_env.hpp"

namespace tarn::test {

namespace {

int g_calls = 0;
int g_fail_at = 0;  // 0: no call fails
bool g_fired = false;
bool g_die = false;  // in a killed run's child: exit at the call instead of failing it
constexpr int kDiedStatus = 250;

// Counts a call and tells whether it is the one to fail.
bool fail_now() {
    ++g_calls;
    if (g_calls != g_fail_at) return false;
    if (g_die) ::_exit(kDiedStatus);
    g_fired = true;
    errno = EIO;
    return true;
}

const IoOps kCountingIo{
    [](const char* path, int flags, mode_t mode) { return fail_now() ? -1 : system_io().open(path, flags, mode); },
    [](int fd, void* buf, size_t n) -> ssize_t { return fail_now() ? -1 : system_io().read(fd, buf, n); },
    [](int fd, const void* buf, size_t n) -> ssize_t { return fail_now() ? -1 : system_io().write(fd, buf, n); },
    [](int fd) { return fail_now() ? -1 : system_io().fsync(fd); },
    [](int fd) {
        const int r = system_io().close(fd);  // the descriptor is gone either way
        return fail_now() ? -1 : r;
    },
    [](const char* from, const char* to) { return fail_now() ? -1 : system_io().rename(from, to); },
    [](const char* from, const char* to) { return fail_now() ? -1 : system_io().link(from, to); },
    [](const char* path) { return fail_now() ? -1 : system_io().unlink(path); },
};

// A fixed random stream (SplitMix64), restarted by every run.
std::uint64_t g_stream = 0;

std::uint8_t next_byte() {
    std::uint64_t z = (g_stream += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint8_t>(z ^ (z >> 31));
}

ssize_t fixed_getrandom(void* buf, std::size_t len, unsigned) {
    auto* p = static_cast<std::uint8_t*>(buf);
    for (std::size_t i = 0; i < len; ++i) p[i] = next_byte();
    return static_cast<ssize_t>(len);
}

int fixed_seeder(const br_prng_class** ctx) {
    unsigned char seed[32];
    for (auto& b : seed) b = next_byte();
    (*ctx)->update(ctx, seed, sizeof seed);
    return 1;
}

br_prng_seeder fixed_seeder_lookup(const char** name) {
    if (name) *name = "fixed";
    return &fixed_seeder;
}

std::int64_t sweep_clock() { return kSweepNow; }

// Restores the real calls, clock and generators when the sweep ends, however it ends.
struct SweepSeams {
    SweepSeams() {
        tarn::testing::set_clock(&sweep_clock);
        tarn::crypto::testing::set_getrandom(&fixed_getrandom);
    }
    ~SweepSeams() {
        io_ops() = system_io();
        tarn::testing::set_clock(nullptr);
        tarn::crypto::testing::set_getrandom(nullptr);
        tarn::keys::testing::set_seeder_lookup(nullptr);
    }
};

struct Run {
    int result;
    DirState before;
    DirState after;
};

// Runs `run` in a forked child that dies at the call `nth` instead of failing it: its result, or
// kKilled.
int in_child(const std::function<int()>& run, int nth) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        g_die = true;
        const int report[2] = {run(), g_calls};
        ::_exit(::write(pipe_fds[1], report, sizeof report) == static_cast<ssize_t>(sizeof report) ? 0 : 1);
    }
    ::close(pipe_fds[1]);
    int report[2] = {kKilled, nth};
    const bool completed = ::read(pipe_fds[0], report, sizeof report) == static_cast<ssize_t>(sizeof report);
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (completed ? 0 : kDiedStatus)) << "the child failed";
    g_fired = !completed;
    g_calls = report[1];
    return completed ? report[0] : kKilled;
}

// One run of the case with the `nth` call failing (0: none), or with the process killed there.
Run run_once(const std::string& dir, const SweepCase& c, int nth, bool killed = false) {
    io_ops() = system_io();
    c.setup();
    Run r;
    r.before = dir_state(dir);
    auto run = [&] {
        g_stream = 0;
        tarn::keys::testing::set_seeder_lookup(&fixed_seeder_lookup);  // reseeds at the next use
        g_calls = 0;
        g_fail_at = nth;
        g_fired = false;
        io_ops() = kCountingIo;
        const int result = c.run();
        io_ops() = system_io();
        return result;
    };
    r.result = killed ? in_child(run, nth) : run();
    r.after = dir_state(dir);
    return r;
}

std::string describe(const DirState& s) {
    std::string out;
    for (const auto& [name, bytes] : s) out += "  " + name + " (" + std::to_string(bytes.size()) + " bytes)\n";
    return out.empty() ? "  (empty)\n" : out;
}

void check_common(const std::string& dir, const SweepCase& c, const Run& r) {
    for (const auto& [name, bytes] : r.after) {
        EXPECT_FALSE(name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0)
            << "temporary file left: " << name;
    }
    for (const std::string& doc : c.documents) {
        auto now = r.after.find(doc);
        auto old = r.before.find(doc);
        if (now == r.after.end()) {
            EXPECT_TRUE(old == r.before.end()) << doc << " was there before and is missing now";
        } else if (old == r.before.end() || old->second != now->second) {
            id_json_doc* parsed = id_json_doc_parse(now->second.data(), now->second.size());
            EXPECT_NE(parsed, nullptr) << doc << " was changed into text that does not parse";
            id_json_doc_free(parsed);
        }
        id_lock lock;
        EXPECT_EQ(id_lock_acquire_wait(&lock, doc.c_str(), 0), 0) << "the lock of " << doc << " is held";
        id_lock_release(&lock);
    }
    (void)dir;
}

}  // namespace

DirState dir_state(const std::string& dir) {
    DirState state;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().filename().string();
        if (name == "server.log") continue;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".lock") == 0) continue;
        state[name] = read_file(entry.path().string());
    }
    return state;
}

void reset_dir(const std::string& dir, const DirState& files) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(".lock")) std::filesystem::remove_all(entry.path());
    }
    for (const auto& [name, bytes] : files) write_file(dir + "/" + name, bytes);
}

SweepSummary fault_sweep(const std::string& data_dir, const SweepCase& c) {
    SCOPED_TRACE("fault sweep of " + c.name);
    SweepSeams seams;
    SweepSummary summary;

    const Run clean = run_once(data_dir, c, 0);
    summary.io_calls = g_calls;
    {
        SCOPED_TRACE("clean run");
        check_common(data_dir, c, clean);
    }
    EXPECT_GT(summary.io_calls, 0) << "the operation made no file system call through the seam";

    for (int nth = 1;; ++nth) {
        SCOPED_TRACE("call " + std::to_string(nth) + " of " + std::to_string(summary.io_calls) + " fails");
        const Run r = run_once(data_dir, c, nth);
        if (!g_fired) {
            // Past the last call: the run was a clean one and must end as the first did.
            EXPECT_EQ(nth, summary.io_calls + 1) << "a clean run made a different number of calls";
            EXPECT_EQ(r.result, clean.result);
            EXPECT_EQ(r.after, clean.after);
            break;
        }
        ++summary.runs;
        check_common(data_dir, c, r);
        const SweepRun view{nth, r.result, r.before, r.after, clean.after, clean.result};
        if (c.changed(r.result, clean.result)) {
            ++summary.changed;
            if (c.judge_changed) {
                c.judge_changed(view);
            } else {
                EXPECT_EQ(r.after, clean.after) << "result " << r.result << " says changed; now:\n"
                                                << describe(r.after) << "clean run:\n" << describe(clean.after);
            }
        } else {
            EXPECT_EQ(r.after, r.before) << "result " << r.result << " says unchanged; now:\n"
                                         << describe(r.after) << "before:\n" << describe(r.before);
        }
        if (nth > 100000) {
            ADD_FAILURE() << "the sweep does not end";
            break;
        }
    }
    return summary;
}

SweepSummary kill_sweep(const std::string& data_dir, const SweepCase& c,
                        const std::function<void(const SweepRun&)>& judge) {
    SCOPED_TRACE("kill sweep of " + c.name);
    SweepSeams seams;
    SweepSummary summary;
    const Run clean = run_once(data_dir, c, 0, true);
    summary.io_calls = g_calls;
    EXPECT_GT(summary.io_calls, 0) << "the operation made no file system call through the seam";
    for (int nth = 1; nth <= summary.io_calls; ++nth, ++summary.runs) {
        SCOPED_TRACE("killed at call " + std::to_string(nth) + " of " + std::to_string(summary.io_calls));
        const Run r = run_once(data_dir, c, nth, true);
        EXPECT_EQ(r.result, kKilled) << "a run made fewer calls than the clean one";
        for (const std::string& doc : c.documents) {
            const auto now = r.after.find(doc);
            if (now != r.after.end()) {
                id_json_doc* parsed = id_json_doc_parse(now->second.data(), now->second.size());
                EXPECT_NE(parsed, nullptr) << doc << " does not parse";
                id_json_doc_free(parsed);
            }
            id_lock lock;
            EXPECT_EQ(id_lock_acquire_wait(&lock, doc.c_str(), 0), 0) << "the lock of " << doc << " is held";
            id_lock_release(&lock);
        }
        judge(SweepRun{nth, r.result, r.before, r.after, clean.after, clean.result});
    }
    return summary;
}

namespace testing {
int io_calls() { return g_calls; }
}  // namespace testing

}  // namespace tarn::test
