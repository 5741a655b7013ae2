// Every changing operation of consents.json under the fault sweep: the N-th file system call
// fails, for every N, and the document holds its old state or the clean run's new one, with no
// temporary file left and the lock free.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "id_consent.h"
#include "support/fault_sweep.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;

TEST(ConsentFaultSweep, EveryChangingOperation) {
    DataDirFixture data;
    const std::string dir = data.dir();
    auto starting = [&dir](DirState files) {
        return [&dir, files] { reset_dir(dir, files); };
    };
    const std::string consents = "{\"usr_a\":{\"client_1\":{\"scopes\":\"openid\",\"granted\":1},\"client_2\":{}}}";
    const std::vector<SweepCase> cases = {
        SweepCase("consent granted", {"consents.json"}, starting({}), [] { return id_consent_set("usr_a", "client_1", "openid"); }),
        SweepCase("consent merged", {"consents.json"}, starting({{"consents.json", consents}}),
                  [] { return id_consent_set("usr_a", "client_1", "profile email"); }),
        SweepCase("unparseable consents.json set aside and replaced", {"consents.json"},
                  starting({{"consents.json", "{\"usr_a\""}}), [] { return id_consent_set("usr_a", "client_1", "openid"); }),
        SweepCase("consent revoked", {"consents.json"}, starting({{"consents.json", consents}}),
                  [] { return id_consent_revoke("usr_a", "client_1"); }),
    };
    for (const SweepCase& c : cases) {
        const SweepSummary s = fault_sweep(dir, c);
        std::printf("%-60s %3d calls, %3d faulted runs, %3d still changed\n", c.name.c_str(), s.io_calls, s.runs,
                    s.changed);
    }
}

}  // namespace
