// The one change-under-lock pattern of the documents under the fault sweep: the N-th file system
// call fails, for every N, and the data directory must hold the old state or the clean run's new
// state, as the result code says, with no temporary file left and every lock free; and the sweep
// itself, which must catch a store that leaves half a change. Each store sweeps its own changing
// operations in its <subsystem>_fault_sweep_test.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/document.hpp"
#include "id_foundation.h"
#include "support/fault_sweep.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::DataDirFixture;
using tarn::test::DirState;
using tarn::test::SweepCase;

int increment_counter() {
    return tarn::change_document("counter.json", ID_LOCK_RETRIES, tarn::Unreadable::set_aside,
                                 [](tarn::Document& d, bool existed) {
                                     if (!existed) d.SetObject().AddMember("n", 0, d.GetAllocator());
                                     d["n"].SetInt(d["n"].GetInt() + 1);
                                     return tarn::Outcome::saved();
                                 });
}

TEST(FaultSweep, EveryChangingOperation) {
    DataDirFixture data;
    const std::string dir = data.dir();
    auto starting = [&dir](DirState files) {
        return [&dir, files] { tarn::test::reset_dir(dir, files); };
    };

    const std::vector<SweepCase> cases = {
        SweepCase("document created", {"counter.json"}, starting({}), increment_counter),
        SweepCase("document changed", {"counter.json"}, starting({{"counter.json", "{\"n\": 41}"}}),
                  increment_counter),
        SweepCase("unparseable document set aside and replaced", {"counter.json"},
                  starting({{"counter.json", "{\"n\": "}}), increment_counter),
    };
    for (const SweepCase& c : cases) {
        const tarn::test::SweepSummary s = tarn::test::fault_sweep(dir, c);
        std::printf("%-70s %3d calls, %3d faulted runs, %3d still changed\n", c.name.c_str(), s.io_calls,
                    s.runs, s.changed);
    }
}

// The sweep itself: a fault it injects is seen by the operation, and a broken store is caught.
TEST(FaultSweep, CatchesAStoreThatLeavesAPartialChange) {
    DataDirFixture data;
    const std::string dir = data.dir();
    // Writes two documents without the pattern: a fault between the two leaves half a change.
    auto two_saves = [] {
        tarn::Document d;
        d.SetObject();
        if (tarn::save_document("a.json", d) != 0) return -1;
        if (tarn::save_document("b.json", d) != 0) return -1;
        return 0;
    };
    SweepCase c("two documents without a commit point", {"a.json", "b.json"},
                [&dir] { tarn::test::reset_dir(dir, {}); }, two_saves);
    ::testing::TestPartResultArray failures;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        tarn::test::fault_sweep(dir, c);
    }
    bool caught = false;
    for (int i = 0; i < failures.size(); ++i)
        caught |= std::strstr(failures.GetTestPartResult(i).message(), "says unchanged") != nullptr;
    EXPECT_TRUE(caught) << "a save of a.json without b.json must be reported";
}

}  // namespace
