// The token store on a tokens.json holding 100, 1,000 and 10,000 live sessions, and on one grown
// past 1 MiB with 12,000 expired sessions beside 100 live ones (restored before every operation,
// untimed: the first change sheds it): session create and verify, code issue and consume, refresh
// token create and rotation, each against the floor of a change measured in the same run (one
// id_json_doc_parse plus one id_save_json_file of that same document). Prints the median of 3 repetitions of each and the ratio to the floor, in wall-clock
// time and in the process's CPU time (user and system: on a machine shared with other work, the
// wall clock also counts the time spent waiting for a CPU).
//
// The data directory is made under $TMPDIR (else /tmp): on a disk the fsync of every save weighs
// in; on tmpfs (TMPDIR=/dev/shm) the parse and the write are nearly all there is.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "id_foundation.h"
#include "id_tokens.h"

namespace {

constexpr int kGrown = 12000;  // the store of expired sessions, by its number of them
constexpr int kLiveBesideExpired = 100;
constexpr int kSizes[] = {100, 1000, 10000, kGrown};
constexpr int kResetEvery = 32;  // changes that grow the store are undone this often (untimed)

// RFC 7636, appendix B: a verifier and its S256 challenge.
constexpr const char* kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
constexpr const char* kChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";

std::string g_path;                   // tokens.json
std::map<int, std::string> g_stores;  // sessions -> the saved document's bytes

// A deterministic 32-character base64url text for session `i`.
std::string pseudo_token(unsigned i) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::uint64_t x = 0x9E3779B97F4A7C15ull * (i + 1);
    for (int k = 0; k < 32; ++k) {
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        out += kAlphabet[(x >> 40) & 63];
    }
    return out;
}

std::string session_id(int i) { return "sess_" + pseudo_token(static_cast<unsigned>(i)); }

// The session at the middle of the live ones of store `n`.
int live_session(int n) { return n == kGrown ? kGrown + kLiveBesideExpired / 2 : n / 2; }

// The store with `n` live sessions (kGrown: that many expired ones, then kLiveBesideExpired live
// ones), saved by the library in its own form.
std::string make_store(int n) {
    const int expired = n == kGrown ? n : 0, total = n == kGrown ? n + kLiveBesideExpired : n;
    std::string text = "{\"sessions\":{";
    for (int i = 0; i < total; ++i) {
        text += (i ? ",\"" : "\"") + session_id(i) + "\":{\"user_id\":\"usr_" + pseudo_token(i).substr(0, 11) +
                "\",\"username\":\"user" + std::to_string(i) + "\",\"created_at\":1760000000,\"expires_at\":" +
                (i < expired ? "1760086400}" : "4102444800}");
    }
    text += "},\"auth_codes\":{},\"refresh\":[]}";
    id_json_doc* doc = id_json_doc_parse(text.data(), text.size());
    if (!doc || id_save_json_file("tokens.json", doc) != 0) std::abort();
    id_json_doc_free(doc);
    std::ifstream in(g_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void restore(int n) {
    std::ofstream out(g_path, std::ios::binary | std::ios::trunc);
    out << g_stores.at(n);
}

// Writes the grown store with its (empty) section `empty` replaced by `filled`.
void restore_grown_with(const std::string& empty, const std::string& filled) {
    std::string grown = g_stores.at(kGrown);
    grown.replace(grown.rfind(empty), empty.size(), filled);
    std::ofstream(g_path, std::ios::binary | std::ios::trunc) << grown;
}

// Runs `op` once per iteration; `reset` (untimed) first and after every kResetEvery iterations.
template <class Op, class Reset>
void measure(benchmark::State& state, Op op, Reset reset) {
    const int n = static_cast<int>(state.range(0));
    const int reset_every = n == kGrown ? 1 : kResetEvery;
    restore(n);
    reset();
    int since_reset = 0;
    for (auto _ : state) {
        if (since_reset == reset_every) {
            state.PauseTiming();
            restore(n);
            reset();
            since_reset = 0;
            state.ResumeTiming();
        }
        if (!op()) {
            state.SkipWithError("operation failed");
            break;
        }
        ++since_reset;
    }
}

void nothing() {}

void BM_ParsePlusSave(benchmark::State& state) {
    const std::string& text = g_stores.at(static_cast<int>(state.range(0)));
    measure(state, [&] {
        id_json_doc* doc = id_json_doc_parse(text.data(), text.size());
        const bool ok = doc && id_save_json_file("tokens.json", doc) == 0;
        id_json_doc_free(doc);
        return ok;
    }, nothing);
}

void BM_SessionCreate(benchmark::State& state) {
    char id[64];
    measure(state, [&] { return id_session_create("usr_bench", "bench", id, sizeof id) == 0; }, nothing);
}

void BM_SessionVerify(benchmark::State& state) {
    const std::string id = session_id(live_session(static_cast<int>(state.range(0))));
    char user[256];
    measure(state, [&] { return id_session_verify(id.c_str(), user, sizeof user, nullptr, 0) == 1; }, nothing);
}

void BM_CodeIssue(benchmark::State& state) {
    char code[64];
    measure(state, [&] {
        return id_auth_code_create("usr_bench", "bench", "client_bench", "https://rp.example/cb", nullptr, kChallenge,
                                   "S256", code, sizeof code) == 0;
    }, nothing);
}

void BM_CodeConsume(benchmark::State& state) {
    char code[64];
    const int n = static_cast<int>(state.range(0));
    restore(n);
    for (auto _ : state) {
        state.PauseTiming();
        if (n == kGrown) restore(n);
        const bool issued = id_auth_code_create("usr_bench", "bench", "client_bench", "https://rp.example/cb",
                                                nullptr, kChallenge, "S256", code, sizeof code) == 0;
        if (n == kGrown)  // issuing shed the store: the exchange is measured on the grown one
            restore_grown_with("\"auth_codes\": {}", "\"auth_codes\": {\"" + std::string(code) +
                               "\": {\"client_id\": \"client_bench\", \"code_challenge\": \"" + kChallenge +
                               "\", \"code_challenge_method\": \"S256\", \"expires_at\": 4102444800}}");
        state.ResumeTiming();
        if (!issued ||
            id_auth_code_consume(code, "client_bench", "https://rp.example/cb", kVerifier, nullptr) != 0) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
}

void BM_RefreshCreate(benchmark::State& state) {
    char token[64];
    measure(state, [&] { return id_refresh_token_create("usr_bench", "bench", "client_bench", nullptr, token, sizeof token) == 0; },
            nothing);
}

void BM_RefreshRotate(benchmark::State& state) {
    char token[64], next[64];
    const bool grown = state.range(0) == kGrown;
    measure(state, [&] {
        if (id_refresh_token_rotate(token, "client_bench", next, sizeof next, nullptr) != 0) return false;
        std::memcpy(token, next, sizeof token);
        return true;
    }, [&] {
        if (!grown) {
            id_refresh_token_create("usr_bench", "bench", "client_bench", nullptr, token, sizeof token);
            return;
        }
        // Issuing would shed the store: the token is written into the grown one instead.
        std::snprintf(token, sizeof token, "rt_%s", (pseudo_token(1) + pseudo_token(2)).substr(0, 43).c_str());
        restore_grown_with("\"refresh\": []", std::string("\"refresh\": [{\"token\": \"") + token + "\", \"client_id\": "
                           "\"client_bench\", \"family\": \"" + token + "\", \"expires_at\": 4102444800}]");
    });
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int n : kSizes) b->Arg(n);
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.3)->Repetitions(3)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_ParsePlusSave)->Apply(sizes);
BENCHMARK(BM_SessionCreate)->Apply(sizes);
BENCHMARK(BM_SessionVerify)->Apply(sizes);
BENCHMARK(BM_CodeIssue)->Apply(sizes);
BENCHMARK(BM_CodeConsume)->Apply(sizes);
BENCHMARK(BM_RefreshCreate)->Apply(sizes);
BENCHMARK(BM_RefreshRotate)->Apply(sizes);

void print_table(const char* clock, const tarn::bench::MedianReporter& reporter,
                 double tarn::bench::Median::*time) {
    std::printf("\n%s: median ms per operation, and the ratio to one parse plus one save of the same store\n", clock);
    std::printf("%-18s", "live sessions");
    for (int n : kSizes) {
        if (n == kGrown) std::printf("%6d+%dx %7s", kLiveBesideExpired, n / 1000, "ratio");
        else std::printf("%10d %7s", n, "ratio");
    }
    std::printf("\n");
    const char* ops[] = {"BM_ParsePlusSave", "BM_SessionCreate", "BM_SessionVerify", "BM_CodeIssue",
                         "BM_CodeConsume",   "BM_RefreshCreate", "BM_RefreshRotate"};
    for (const char* op : ops) {
        std::printf("%-18s", op + 3);
        for (int n : kSizes) {
            const auto ours = reporter.of(std::string(op) + "/" + std::to_string(n));
            const auto floor = reporter.of("BM_ParsePlusSave/" + std::to_string(n));
            if (ours.ran() && floor.ran()) std::printf("%10.3f %7.2f", ours.*time * 1e3, ours.*time / floor.*time);
            else std::printf("%10s %7s", "-", "-");
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const tarn::bench::ScratchDir dir("tokens-bench");
    if (!dir) return 1;
    char path[1024];
    id_get_file_path("tokens.json", path, sizeof path);
    g_path = path;
    for (int n : kSizes) g_stores[n] = make_store(n);

    benchmark::Initialize(&argc, argv);
    tarn::bench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\ndata directory %s\n", dir.data().c_str());
    print_table("wall clock", reporter, &tarn::bench::Median::real);
    print_table("CPU time", reporter, &tarn::bench::Median::cpu);
    std::printf("size of the store: ");
    for (int n : kSizes) {
        if (n == kGrown) std::printf("%d live and %d expired sessions %zu bytes", kLiveBesideExpired, n, g_stores[n].size());
        else std::printf("%d sessions %zu bytes; ", n, g_stores[n].size());
    }
    std::printf("\n");
    std::printf("(the last column: %dx = %d,000 expired sessions, the store restored before each operation)\n",
                kGrown / 1000, kGrown / 1000);
    return 0;
}
