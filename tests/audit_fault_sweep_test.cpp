// Every changing operation of audit_log.json under the fault sweep: the N-th file system call
// fails, for every N, and the document holds its old state or the clean run's new one, with no
// temporary file left and the lock free.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "id_audit.h"
#include "support/fault_sweep.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;

TEST(AuditFaultSweep, EveryChangingOperation) {
    DataDirFixture data;
    const std::string dir = data.dir();
    auto starting = [&dir](DirState files) {
        return [&dir, files] { reset_dir(dir, files); };
    };
    std::string audit = "[";
    for (int i = 0; i < 2000; ++i) audit += std::string(i ? "," : "") + "{\"ts\":" + std::to_string(i) + ",\"event\":\"e\"}";
    audit += "]";
    const std::vector<SweepCase> cases = {
        SweepCase("audit event, first entry", {"audit_log.json"}, starting({}),
                  [] { return id_audit_record("login", "usr_1", "alice", "10.0.0.1", nullptr); }),
        SweepCase("audit event into a full log", {"audit_log.json"}, starting({{"audit_log.json", audit}}),
                  [] { return id_audit_record("login", "usr_1", "alice", "10.0.0.1", nullptr); }),
        SweepCase("audit log pruned", {"audit_log.json"}, starting({{"audit_log.json", audit}}),
                  [] { return id_audit_prune(100); }),
    };
    for (const SweepCase& c : cases) {
        const SweepSummary s = fault_sweep(dir, c);
        std::printf("%-60s %3d calls, %3d faulted runs, %3d still changed\n", c.name.c_str(), s.io_calls, s.runs,
                    s.changed);
    }
}

}  // namespace
