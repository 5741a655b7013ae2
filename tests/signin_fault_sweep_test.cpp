// Every changing operation of the sign-in stores (lockout and address budget) under the fault
// sweep: the N-th file system call fails, for every N, and each document holds its old state or
// the clean run's new one, with no temporary file left and every lock free.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "id_signin.h"
#include "support/fault_sweep.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;

const std::string kNow = std::to_string(kSweepNow);
const std::string kRecent = std::to_string(kSweepNow - 1);

std::optional<std::string> file_in(const DirState& s, const std::string& name) {
    auto it = s.find(name);
    return it == s.end() ? std::nullopt : std::optional<std::string>(it->second);
}

// For the sign-in operations, which report nothing: each file is as it was or as the clean run
// left it, and a failure line reached server.log only when login_attempts.json took the change.
SweepCase reports_nothing(SweepCase c, const std::string& dir) {
    return c.changed_when([](int, int) { return true; }).judged_by([dir](const SweepRun& r) {
        std::set<std::string> names;
        for (const DirState* s : {&r.before, &r.after, &r.clean})
            for (const auto& [name, bytes] : *s) names.insert(name);
        for (const std::string& name : names) {
            const auto now = file_in(r.after, name);
            EXPECT_TRUE(now == file_in(r.before, name) || now == file_in(r.clean, name)) << name << " is half changed";
        }
        if (!read_file(dir + "/server.log").empty()) {
            EXPECT_EQ(file_in(r.after, "login_attempts.json"), file_in(r.clean, "login_attempts.json"))
                << "a failure was logged that was not saved";
        }
    });
}

// For id_login_sweep, which changes each store under its own lock: 0 means both took the clean
// run's change; -1 means each store is as it was or as the clean run left it.
SweepCase each_store_whole(SweepCase c) {
    return c.changed_when([](int, int) { return true; }).judged_by([](const SweepRun& r) {
        if (r.result == 0) {
            EXPECT_EQ(r.after, r.clean);
            return;
        }
        EXPECT_EQ(r.result, -1);
        for (const char* name : {"login_attempts.json", "login_attempts_ip.json"}) {
            const auto now = file_in(r.after, name);
            EXPECT_TRUE(now == file_in(r.before, name) || now == file_in(r.clean, name)) << name << " is half changed";
        }
    });
}

// For id_login_begin, which counts an attempt in login_attempts_ip.json and then in
// login_attempts.json: 1 means both took the clean run's change; -1 means the account was not
// charged, while the address may keep the attempt it had counted already.
SweepCase begun(SweepCase c) {
    return c.changed_when([](int, int) { return true; }).judged_by([](const SweepRun& r) {
        const auto ip = file_in(r.after, "login_attempts_ip.json");
        if (r.result == 1) {
            EXPECT_EQ(r.after, r.clean);
            return;
        }
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(file_in(r.after, "login_attempts.json"), file_in(r.before, "login_attempts.json"));
        EXPECT_TRUE(ip == file_in(r.before, "login_attempts_ip.json") || ip == file_in(r.clean, "login_attempts_ip.json"));
    });
}

TEST(SignInFaultSweep, EveryChangingOperation) {
    DataDirFixture data;
    const std::string dir = data.dir();
    auto starting = [&dir](DirState files) {
        return [&dir, files] { reset_dir(dir, files); };
    };
    const std::string alice_twice =
        "{\"acc_bob\":{\"count\":1},\"acc_alice\":{\"count\":2,\"strikes\":2,\"last_ts\":" + kRecent + "}}";
    std::string stale = "{";
    for (int i = 0; i < 9000; ++i) stale += "\"acc_stale" + std::to_string(i) + "\":{\"count\":1,\"strikes\":1,\"last_ts\":5},";
    stale += "\"acc_recent\":{\"count\":1,\"strikes\":1,\"last_ts\":" + kRecent + "}}";
    const std::string addresses = "[{\"ts\":5,\"ip\":\"10.0.0.1\"},{\"ts\":" + kRecent + ",\"ip\":\"10.0.0.2\"}]";
    // A begun attempt of alice from 10.0.0.1, as this process's id_login_begin leaves it.
    const std::string me = std::to_string(::getpid());
    const std::string alice_begun = "{\"acc_bob\":{\"count\":1},\"acc_alice\":{\"count\":3,\"strikes\":3,\"locked_until\":" +
                                    std::to_string(kSweepNow + 30) + ",\"last_ts\":" + kNow + ",\"pending\":[{\"pid\":" + me +
                                    ",\"ts\":" + kNow + ",\"count\":3,\"strikes\":3,\"locked_until\":" +
                                    std::to_string(kSweepNow + 30) + ",\"ip\":\"10.0.0.1\"}]}}";
    const std::string addresses_begun = addresses.substr(0, addresses.size() - 1) + ",{\"ts\":" + kNow +
                                        ",\"ip\":\"10.0.0.1\",\"pid\":" + me + "}]";
    const auto failed = [](const char* account, const char* address) {
        return [account, address] {
            id_login_failed(account, address);
            return 0;
        };
    };

    const std::vector<SweepCase> cases = {
        reports_nothing(SweepCase("failed sign-in, first record", {"login_attempts.json"}, starting({}),
                                  failed("alice", nullptr)), dir),
        reports_nothing(SweepCase("failed sign-in locking the account", {"login_attempts.json"},
                                  starting({{"login_attempts.json", alice_twice}}), failed("alice", nullptr)), dir),
        reports_nothing(SweepCase("failed sign-in shedding stale records past 1 MiB", {"login_attempts.json"},
                                  starting({{"login_attempts.json", stale}}), failed("alice", nullptr)), dir),
        reports_nothing(SweepCase("unparseable login_attempts.json set aside and replaced", {"login_attempts.json"},
                                  starting({{"login_attempts.json", "{\"acc_"}}), failed("alice", nullptr)), dir),
        reports_nothing(SweepCase("failed sign-in of an address", {"login_attempts_ip.json"},
                                  starting({{"login_attempts_ip.json", addresses}}), failed(nullptr, "10.0.0.1")), dir),
        reports_nothing(SweepCase("unparseable login_attempts_ip.json set aside and replaced", {"login_attempts_ip.json"},
                                  starting({{"login_attempts_ip.json", "[{"}}), failed(nullptr, "10.0.0.1")), dir),
        reports_nothing(SweepCase("failed sign-in of an account and its address",
                                  {"login_attempts.json", "login_attempts_ip.json"},
                                  starting({{"login_attempts.json", alice_twice}, {"login_attempts_ip.json", addresses}}),
                                  failed("alice", "10.0.0.1")), dir),
        begun(SweepCase("sign-in begun: the address, then the account", {"login_attempts.json", "login_attempts_ip.json"},
                        starting({{"login_attempts.json", alice_twice}, {"login_attempts_ip.json", addresses}}),
                        [] { return id_login_begin("Alice", "10.0.0.1", nullptr, 0); })),
        begun(SweepCase("sign-in begun, an unparseable store set aside", {"login_attempts.json", "login_attempts_ip.json"},
                        starting({{"login_attempts.json", "{\"acc_"}, {"login_attempts_ip.json", "[{"}}),
                        [] { return id_login_begin("alice", "10.0.0.1", nullptr, 0); })),
        reports_nothing(SweepCase("begun attempt reported as failed", {"login_attempts.json", "login_attempts_ip.json"},
                                  starting({{"login_attempts.json", alice_begun}, {"login_attempts_ip.json", addresses_begun}}),
                                  failed("alice", "10.0.0.1")), dir),
        reports_nothing(SweepCase("begun attempt taken back by a success", {"login_attempts.json", "login_attempts_ip.json"},
                                  starting({{"login_attempts.json", alice_begun}, {"login_attempts_ip.json", addresses_begun}}),
                                  [] {
                                      id_login_success("alice");
                                      return 0;
                                  }), dir),
        each_store_whole(SweepCase("sign-in stores swept", {"login_attempts.json", "login_attempts_ip.json"},
                                   starting({{"login_attempts.json", stale}, {"login_attempts_ip.json", addresses}}),
                                   [] { return id_login_sweep(nullptr); })),
        reports_nothing(SweepCase("successful sign-in clears the record", {"login_attempts.json"},
                                  starting({{"login_attempts.json", alice_twice}}), [] {
                                      id_login_success("alice");
                                      return 0;
                                  }), dir),
    };
    for (const SweepCase& c : cases) {
        const SweepSummary s = fault_sweep(dir, c);
        std::printf("%-60s %3d calls, %3d faulted runs, %3d still changed\n", c.name.c_str(), s.io_calls, s.runs,
                    s.changed);
    }
}

}  // namespace
