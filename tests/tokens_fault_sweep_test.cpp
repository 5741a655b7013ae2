// Every changing operation of the token store under the fault sweep: with the N-th file system
// call failing, for every N, tokens.json holds the state before or the clean run's state, as the
// result code says, with no temporary file left and the lock free.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/document.hpp"
#include "id_tokens.h"
#include "support/fault_sweep.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::kSweepNow;
using tarn::test::SweepCase;

const std::string kLater = std::to_string(kSweepNow + 100);
const char* const kS256 = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";  // a SHA-256 digest, base64url

// A store holding one of everything, written compact (every save rewrites it pretty).
const std::string kStore =
    "{\"sessions\":{\"sess_a\":{\"user_id\":\"u1\",\"created_at\":1,\"expires_at\":" + kLater + "},"
    "\"sess_b\":{\"user_id\":\"u2\",\"created_at\":1,\"expires_at\":" + kLater + "}},"
    "\"auth_codes\":{\"code_a\":{\"client_id\":\"c1\",\"scope\":\"openid\",\"code_challenge\":\"\","
    "\"code_challenge_method\":\"plain\",\"expires_at\":" + kLater + "}},"
    "\"refresh\":[{\"token\":\"rt_a\",\"user_id\":\"u1\",\"username\":\"\",\"client_id\":\"c1\",\"scope\":\"s\","
    "\"family\":\"rt_a\",\"expires_at\":" + kLater + "},"
    "{\"token\":\"rt_old\",\"user_id\":\"u1\",\"family\":\"rt_old\",\"expires_at\":1},"
    "{\"token\":\"rt_b\",\"user_id\":\"u2\",\"client_id\":\"c1\",\"family\":\"rt_f\",\"expires_at\":" + kLater + "}],"
    "\"rotated\":[{\"token\":\"rt_f\",\"family\":\"rt_f\"}],\"other\":[true],"
    "\"exchanged_codes\":{\"code_x\":{\"family\":\"rt_f\",\"expires_at\":" + kLater + "}}}";

// A store past 1 MiB, pretty as the store writes it, of expired sessions but for one.
std::string grown_store() {
    std::string sessions;
    for (int i = 0; i < 9000; ++i)
        sessions += "\"sess_" + std::to_string(i) + "\":{\"user_id\":\"u1\",\"created_at\":1,\"expires_at\":5},";
    tarn::Document d;
    std::string pretty;
    const std::string compact = "{\"sessions\":{" + sessions + "\"sess_a\":{\"expires_at\":" + kLater +
                                "}},\"auth_codes\":{},\"refresh\":[]}";
    if (!tarn::parse_json(compact, d) || !tarn::write_json(d, true, pretty) || pretty.size() <= 1048576) std::abort();
    return pretty;
}

// kStore with the family of rt_a at its cap of exchanged tokens: rotating rt_a ends the family.
std::string capped_store() {
    std::string rotated;
    for (int i = 0; i < ID_REFRESH_FAMILY_ROTATIONS; ++i) rotated += "{\"token\":\"rt_a" + std::to_string(i) + "\",\"family\":\"rt_a\"},";
    std::string store = kStore;
    const std::string from = "\"rotated\":[";
    return store.replace(store.find(from), from.size(), from + rotated);
}

TEST(TokenFaultSweep, EveryChangingOperation) {
    tarn::test::DataDirFixture data;
    const std::string dir = data.dir();
    auto starting = [&dir](std::string tokens) {
        return [&dir, tokens] {
            for (const auto& entry : std::filesystem::directory_iterator(dir))
                if (entry.path().extension() != ".lock") std::filesystem::remove_all(entry.path());
            if (!tokens.empty()) tarn::test::write_file(dir + "/tokens.json", tokens);
        };
    };
    char out[64];
    id_auth_code code;
    id_refresh_token rec;
    const std::vector<std::string> docs = {"tokens.json"};
    const std::vector<SweepCase> cases = {
        SweepCase("session created in a new store", docs, starting(""),
                  [&] { return id_session_create("u1", "al", out, sizeof out); }),
        SweepCase("session created over an unparseable store", docs, starting("{\"sessions\":"),
                  [&] { return id_session_create("u1", "al", out, sizeof out); }),
        SweepCase("session created", docs, starting(kStore), [&] { return id_session_create("u3", nullptr, out, sizeof out); }),
        SweepCase("session deleted", docs, starting(kStore), [] { return id_session_delete("sess_a"); }),
        SweepCase("sessions of a user deleted", docs, starting(kStore), [] { return id_session_delete_by_user("u2"); }),
        SweepCase("code issued", docs, starting(kStore),
                  [&] { return id_auth_code_create_v("u1", "al", "c1", "https://a/", nullptr, kS256, "S256", "n", 5, out, sizeof out); }),
        SweepCase("code exchanged", docs, starting(kStore), [&] { return id_auth_code_consume("code_a", "c1", nullptr, nullptr, &code); }),
        SweepCase("code burnt by another client", docs, starting(kStore),
                  [] { return id_auth_code_consume("code_a", "c2", nullptr, nullptr, nullptr); }),
        SweepCase("code exchanged with its refresh token", docs, starting(kStore),
                  [&] { return id_auth_code_exchange("code_a", "c1", nullptr, nullptr, &code, out, sizeof out); }),
        SweepCase("exchanged code presented again ends its family", docs, starting(kStore),
                  [&] { return id_auth_code_exchange("code_x", "c1", nullptr, nullptr, &code, out, sizeof out); }),
        SweepCase("refresh token issued", docs, starting(kStore),
                  [&] { return id_refresh_token_create("u1", "al", "c1", nullptr, out, sizeof out); }),
        SweepCase("refresh token rotated", docs, starting(kStore),
                  [&] { return id_refresh_token_rotate("rt_a", "c1", out, sizeof out, &rec); }),
        // -1 whether the ending was saved or not: the file holds one state or the other, and a
        // retry with the kept token ends the family then.
        SweepCase("rotation past the cap ends the family", docs, starting(capped_store()),
                  [&] { return id_refresh_token_rotate("rt_a", "c1", out, sizeof out, &rec); })
            .judged_by([](const tarn::test::SweepRun& r) {
                EXPECT_EQ(r.result, -1);
                EXPECT_TRUE(r.after == r.before || r.after == r.clean) << "neither the state before nor the ending";
            }),
        SweepCase("expired refresh token removed", docs, starting(kStore),
                  [&] { return id_refresh_token_rotate("rt_old", nullptr, out, sizeof out, &rec); }),
        SweepCase("reused refresh token ends its family", docs, starting(kStore),
                  [&] { return id_refresh_token_rotate("rt_f", nullptr, out, sizeof out, &rec); }),
        SweepCase("refresh token revoked", docs, starting(kStore), [] { return id_refresh_token_revoke("rt_a"); }),
        SweepCase("refresh tokens of a user revoked", docs, starting(kStore), [] { return id_refresh_token_revoke_by_user("u1"); }),
        SweepCase("refresh token family revoked", docs, starting(kStore),
                  [] { return id_refresh_token_revoke_family("rt_f", "c1"); }),
        SweepCase("refresh token family ended, failures told apart", docs, starting(kStore),
                  [] { return id_refresh_token_end_family("rt_b", "c1"); }),
        SweepCase("session deleted in a grown store, shedding", docs, starting(grown_store()),
                  [] { return id_session_delete("sess_a"); }),
        SweepCase("store swept", docs, starting(kStore), [] { return id_tokens_sweep(nullptr); }),
        SweepCase("grown store swept", docs, starting(grown_store()), [] { return id_tokens_sweep(nullptr); }),
    };
    for (const SweepCase& c : cases) {
        const tarn::test::SweepSummary s = tarn::test::fault_sweep(dir, c);
        std::printf("%-50s %3d calls, %3d faulted runs, %3d still changed\n", c.name.c_str(), s.io_calls, s.runs,
                    s.changed);
    }
    // Killed at any call, an exchange leaves the code unspent with no token issued, or the code
    // spent with its refresh token and its reuse record: tokens.json is the one before or the
    // clean run's, never a mix.
    for (const SweepCase& c : cases) {
        if (c.name.find("code exchanged") == std::string::npos && c.name.find("exchanged code") == std::string::npos)
            continue;
        const tarn::test::SweepSummary s = tarn::test::kill_sweep(dir, c, [](const tarn::test::SweepRun& r) {
            const auto tokens = [](const tarn::test::DirState& d) {
                const auto it = d.find("tokens.json");
                return it == d.end() ? std::string("<none>") : it->second;
            };
            EXPECT_TRUE(tokens(r.after) == tokens(r.before) || tokens(r.after) == tokens(r.clean))
                << "killed at call " << r.nth;
            if (r.result != tarn::test::kKilled) {
                EXPECT_EQ(tokens(r.after), tokens(r.clean));
            }
        });
        EXPECT_GT(s.runs, 0);
        std::printf("%-50s %3d calls, %3d killed runs\n", c.name.c_str(), s.io_calls, s.runs);
    }
}

}  // namespace
