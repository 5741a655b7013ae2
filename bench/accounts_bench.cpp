// What an account operation costs against the work it cannot avoid, measured in one run:
//   build/bench/accounts_bench
// - id_verify_password of a stored hash against one 100000-iteration PBKDF2 derivation;
// - user creation on a users.json of 1000 users against one derivation plus one parse and one
//   save of that document (and what a parse alone costs, the price of a second one);
// - a password change on the same store against the same floor;
// - a user deletion against one parse and save of users.json plus two of a tokens.json holding a
//   session and a refresh token of each user (the deletion ends the sessions, then revokes the
//   tokens, each a change of its own).
// The data directory is a fresh temporary one under $TMPDIR (default /tmp). After Google Benchmark's table a summary prints
// the medians and the ratios.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "id_accounts.h"
#include "tarn_crypto.h"

namespace {

constexpr int kRepetitions = 9;
constexpr int kUsers = 1000;
const char kPassword[] = "correct horse battery staple";
const unsigned char kSalt[16] = {0x5a, 0x17, 0x9c, 0x02, 0xee, 0x41, 0x8d, 0x73,
                                 0x10, 0xb6, 0x2f, 0xc8, 0x64, 0x09, 0xd5, 0x3e};

std::string g_users_text;   // users.json with kUsers users, as the store saves it
std::string g_tokens_text;  // tokens.json with a session and a refresh token of each

// A users.json of kUsers records shaped like the store's own (identifiers, hash strings and
// emails of their real lengths), written without spending a derivation on each.
bool make_store() {
    tarn::Document doc;
    doc.SetArray();
    auto& a = doc.GetAllocator();
    for (int i = 0; i < kUsers; ++i) {
        char id[32], name[32], email[64], hash[128];
        std::snprintf(id, sizeof id, "usr_%011d", i);
        std::snprintf(name, sizeof name, "member%04d", i);
        std::snprintf(email, sizeof email, "member%04d@example.org", i);
        std::snprintf(hash, sizeof hash, "pbkdf2$100000$%032x$%064x", i * 7919, i * 104729);
        tarn::Value u(rapidjson::kObjectType);
        u.AddMember("id", tarn::Value(id, a), a);
        u.AddMember("username", tarn::Value(name, a), a);
        u.AddMember("email", tarn::Value(email, a), a);
        u.AddMember("pass_hash", tarn::Value(hash, a), a);
        u.AddMember("role", rapidjson::StringRef(i == 0 ? "owner" : "user"), a);
        u.AddMember("created", static_cast<std::int64_t>(1750000000 + i), a);
        u.AddMember("last_login", static_cast<std::int64_t>(1750000000 + i), a);
        doc.PushBack(u, a);
    }
    return tarn::write_json(doc, true, g_users_text);
}

// tokens.json with one session and one refresh token of every user, of their real lengths.
bool make_tokens() {
    tarn::Document doc;
    auto& a = doc.GetAllocator();
    doc.SetObject();
    tarn::Value sessions(rapidjson::kObjectType), refresh(rapidjson::kArrayType);
    for (int i = 0; i < kUsers; ++i) {
        char id[32], session[48], token[64];
        std::snprintf(id, sizeof id, "usr_%011d", i);
        std::snprintf(session, sizeof session, "sess_%032d", i);
        std::snprintf(token, sizeof token, "rt_%043d", i);
        tarn::Value s(rapidjson::kObjectType), r(rapidjson::kObjectType);
        s.AddMember("user_id", tarn::Value(id, a), a);
        s.AddMember("username", rapidjson::StringRef("member"), a);
        s.AddMember("created_at", 1750000000, a);
        s.AddMember("expires_at", 1750086400, a);
        sessions.AddMember(tarn::Value(session, a), s, a);
        r.AddMember("token", tarn::Value(token, a), a);
        r.AddMember("user_id", tarn::Value(id, a), a);
        r.AddMember("client_id", rapidjson::StringRef("client_0123456789a"), a);
        r.AddMember("scope", rapidjson::StringRef("openid profile"), a);
        r.AddMember("family", tarn::Value(token, a), a);
        r.AddMember("expires_at", 1752419200, a);
        refresh.PushBack(r, a);
    }
    doc.AddMember("sessions", sessions, a);
    doc.AddMember("auth_codes", tarn::Value(rapidjson::kObjectType), a);
    doc.AddMember("refresh", refresh, a);
    return tarn::write_json(doc, true, g_tokens_text);
}

void restore(const char* name, const std::string& text) {
    if (!tarn::replace_file(tarn::data_path(name), tarn::data_path(std::string(name) + ".tmp"), text)) std::abort();
}
void restore_store() { restore("users.json", g_users_text); }

void BM_Pbkdf2(benchmark::State& state) {
    unsigned char out[32];
    for (auto _ : state) {
        if (tarn_pbkdf2_sha256(kPassword, sizeof kPassword - 1, kSalt, sizeof kSalt, 100000, out, sizeof out) != 0)
            state.SkipWithError("derivation failed");
        benchmark::DoNotOptimize(out);
    }
}

void BM_VerifyPassword(benchmark::State& state) {
    char stored[256];
    if (id_hash_password(kPassword, stored, sizeof stored) != 0) return state.SkipWithError("hashing failed");
    for (auto _ : state)
        if (id_verify_password(kPassword, stored) != 1) state.SkipWithError("no match");
}

// Every case that touches users.json starts each iteration from the same file, restored with the
// timer paused, so that what the restore does to caches and the heap weighs on each alike.
void BM_ParseStore(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        restore_store();
        state.ResumeTiming();
        tarn::Document doc;
        if (tarn::load_document("users.json", doc) != tarn::LoadStatus::loaded) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(doc);
    }
}

void BM_ParseAndSaveStore(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        restore_store();
        state.ResumeTiming();
        tarn::Document doc;
        if (tarn::load_document("users.json", doc) != tarn::LoadStatus::loaded ||
            tarn::save_document("users.json", doc) != 0)
            state.SkipWithError("load or save failed");
    }
}

void BM_ParseAndSaveTokens(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        restore("tokens.json", g_tokens_text);
        state.ResumeTiming();
        tarn::Document doc;
        if (tarn::load_document("tokens.json", doc) != tarn::LoadStatus::loaded ||
            tarn::save_document("tokens.json", doc) != 0)
            state.SkipWithError("load or save failed");
    }
}

void BM_SetPassword(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        restore_store();
        state.ResumeTiming();
        if (id_user_set_password("usr_00000000500", "a new password", nullptr, 0) != 0)
            state.SkipWithError("password change failed");
    }
}

void BM_DeleteUser(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        restore_store();
        restore("tokens.json", g_tokens_text);
        state.ResumeTiming();
        if (id_user_delete("usr_00000000500") != 0) state.SkipWithError("deletion failed");
    }
}

void BM_CreateUser(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        restore_store();
        const std::string name = "newcomer" + std::to_string(n++);
        state.ResumeTiming();
        if (id_user_create(name.c_str(), kPassword, "newcomer@example.org", nullptr, 0) != 0)
            state.SkipWithError("creation failed");
    }
}

using tarn::bench::Median;

void print_line(const char* what, const Median& m, const Median& base, const char* base_name) {
    std::printf("  %-40s %8.3f ms real %8.3f ms CPU", what, m.real * 1e3, m.cpu * 1e3);
    if (base.ran()) std::printf("   %.3fx / %.3fx %s", m.real / base.real, m.cpu / base.cpu, base_name);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    // A CGI process makes one operation and exits; this loop makes thousands, and glibc hands the
    // memory an iteration frees back to the kernel and faults it in again on the next one (tens of
    // microseconds a page on a virtual machine), charging whichever case frees at the wrong
    // moment. Keeping freed memory in the process measures the operations instead.
    ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
    ::mallopt(M_MMAP_THRESHOLD, 1 << 30);
    const tarn::bench::ScratchDir root("accounts-bench");
    if (!root || !make_store() || !make_tokens()) return 1;

    for (auto* b : {benchmark::RegisterBenchmark("pbkdf2_100k", BM_Pbkdf2),
                    benchmark::RegisterBenchmark("verify_password", BM_VerifyPassword),
                    benchmark::RegisterBenchmark("parse_1000_users", BM_ParseStore),
                    benchmark::RegisterBenchmark("parse_and_save_1000_users", BM_ParseAndSaveStore),
                    benchmark::RegisterBenchmark("create_user_1000_users", BM_CreateUser),
                    benchmark::RegisterBenchmark("parse_and_save_tokens", BM_ParseAndSaveTokens),
                    benchmark::RegisterBenchmark("set_password_1000_users", BM_SetPassword),
                    benchmark::RegisterBenchmark("delete_user_1000_users", BM_DeleteUser)})
        b->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(kRepetitions)->DisplayAggregatesOnly();
    // Repetitions of the cases run interleaved at random, so that a machine whose load changes
    // during the run weighs on every case alike (a later flag on the command line overrides it).
    std::vector<char*> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int nargs = static_cast<int>(args.size());
    benchmark::Initialize(&nargs, args.data());
    if (benchmark::ReportUnrecognizedArguments(nargs, args.data())) return 1;
    tarn::bench::MedianReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();

    const Median derive = rep.of("pbkdf2_100k"), parse_save = rep.of("parse_and_save_1000_users");
    const Median floor{derive.real + parse_save.real, derive.cpu + parse_save.cpu};
    std::printf("\nmedians; users.json of %d users (%zu bytes) in %s\n", kUsers,
                g_users_text.size(), root.path().c_str());
    print_line("PBKDF2-HMAC-SHA-256, 100000 iterations", derive, {}, "");
    print_line("id_verify_password", rep.of("verify_password"), derive, "the derivation");
    print_line("parse of users.json", rep.of("parse_1000_users"), {}, "");
    print_line("parse and save of users.json", parse_save, {}, "");
    print_line("user creation", rep.of("create_user_1000_users"), floor, "derivation + parse and save");
    print_line("password change", rep.of("set_password_1000_users"), floor, "derivation + parse and save");
    const Median tokens = rep.of("parse_and_save_tokens");
    std::printf("tokens.json of %d sessions and %d refresh tokens (%zu bytes)\n", kUsers, kUsers, g_tokens_text.size());
    print_line("parse and save of tokens.json", tokens, {}, "");
    const Median deletion_floor{parse_save.real + 2 * tokens.real, parse_save.cpu + 2 * tokens.cpu};
    print_line("user deletion", rep.of("delete_user_1000_users"), deletion_floor, "users + 2 x tokens parse and save");
    return 0;
}
