// The cost of the stores an attacker writes at will, one sign-in attempt at a time:
//  - a failed sign-in with 1,000, 10,000 and 100,000 accounts in login_attempts.json, against one
//    id_json_doc_parse plus one id_save_json_file of the same document (the least any whole-document
//    change costs);
//  - an audit event with a full audit log (2000 entries), against the same floor;
//  - a failed sign-in on a store of 100,000 stale records, which it sheds;
//  - failures with a fresh account name every second, starting from a store just under 1 MiB of
//    records spread over the last two hours: the store never grows past 1 MiB and one record;
//  - a wrong guess as a sign-in program makes it, id_login_begin then id_login_failed, against the
//    written pair id_login_allowed then id_login_failed, with 1,000 and 10,000 accounts, without
//    and with a client address (each guess on an account not yet locked, from an address within
//    its budget).
// Prints medians of 5 repetitions and the ratios, of wall-clock time (a save waits for the disk)
// and of CPU time.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "id_audit.h"
#include "id_foundation.h"
#include "id_signin.h"

namespace {

constexpr std::int64_t kNow = 1750000000;
std::int64_t g_now = kNow;
std::int64_t bench_clock() { return g_now; }

std::string g_data_dir;

std::string data_file(const char* name) { return g_data_dir + "/" + name; }

void write_text(const char* name, const std::string& text) {
    std::FILE* f = std::fopen(data_file(name).c_str(), "wb");
    if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size()) std::abort();
    std::fclose(f);
}

long long file_size(const char* name) {
    struct stat st {};
    return ::stat(data_file(name).c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// login_attempts.json in the stored form: `n` accounts, the i-th failed last `age(i)` seconds ago.
template <class Age>
std::string attempts(int n, Age age) {
    tarn::Document doc;
    doc.SetObject();
    auto& a = doc.GetAllocator();
    for (int i = 0; i < n; ++i) {
        tarn::Value rec(rapidjson::kObjectType);
        rec.AddMember("count", 2, a);
        rec.AddMember("strikes", 2, a);
        rec.AddMember("locked_until", 0, a);
        rec.AddMember("last_ts", static_cast<std::int64_t>(g_now - age(i)), a);
        doc.AddMember(tarn::Value(("acc_user" + std::to_string(i) + "@example.org").c_str(), a), rec, a);
    }
    std::string text;
    tarn::write_json(doc, true, text);
    return text;
}

// A full audit_log.json of typical entries.
std::string full_audit_log() {
    tarn::Document doc;
    doc.SetArray();
    auto& a = doc.GetAllocator();
    for (int i = 0; i < 2000; ++i) {
        tarn::Value e(rapidjson::kObjectType);
        e.AddMember("ts", static_cast<std::int64_t>(kNow - 2000 + i), a);
        e.AddMember("event", "login_failed", a);
        e.AddMember("user_id", "usr_Qk3v9ZrT2aX", a);
        e.AddMember("username", tarn::Value(("user" + std::to_string(i)).c_str(), a), a);
        e.AddMember("ip", "203.0.113.45", a);
        e.AddMember("detail", "bad password", a);
        doc.PushBack(e, a);
    }
    std::string text;
    tarn::write_json(doc, true, text);
    return text;
}

// The floor of a whole-document change: parse the text, save the document.
void parse_and_save(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        id_json_doc* doc = id_json_doc_parse(text.data(), text.size());
        if (!doc || id_save_json_file("reference.json", doc) != 0) {
            state.SkipWithError("parse or save failed");
            id_json_doc_free(doc);
            break;
        }
        id_json_doc_free(doc);
    }
    state.counters["file_bytes"] = static_cast<double>(text.size());
}

// Every account failed within the last 500 s: nothing may be shed, every record is read and kept.
std::string recent_store(int n) {
    g_now = kNow;
    return attempts(n, [](int i) { return i % 500; });
}

void BM_FailedSignIn(benchmark::State& state) {
    write_text("login_attempts.json", recent_store(static_cast<int>(state.range(0))));
    for (auto _ : state) id_login_failed("user7@example.org", nullptr);
    state.counters["file_bytes"] = static_cast<double>(file_size("login_attempts.json"));
}

void BM_ParseAndSaveAttempts(benchmark::State& state) {
    parse_and_save(state, recent_store(static_cast<int>(state.range(0))));
}

void BM_AuditEventFullLog(benchmark::State& state) {
    write_text("audit_log.json", full_audit_log());
    for (auto _ : state) {
        if (id_audit_record("login_failed", "usr_Qk3v9ZrT2aX", "user1", "203.0.113.45", "bad password") != 0) {
            state.SkipWithError("recording failed");
            break;
        }
    }
    state.counters["file_bytes"] = static_cast<double>(file_size("audit_log.json"));
}

void BM_ParseAndSaveAudit(benchmark::State& state) { parse_and_save(state, full_audit_log()); }

// 100,000 accounts whose last failure is over 600 s old and whose locks are over: the failure
// that finds them drops them all.
void BM_FailedSignInSheddingStaleStore(benchmark::State& state) {
    g_now = kNow;
    const std::string stale = attempts(100000, [](int i) { return 601 + i % 5000; });
    for (auto _ : state) {
        state.PauseTiming();
        write_text("login_attempts.json", stale);
        state.ResumeTiming();
        id_login_failed("newcomer@example.org", nullptr);
    }
    state.counters["bytes_before"] = static_cast<double>(stale.size());
    state.counters["bytes_after"] = static_cast<double>(file_size("login_attempts.json"));
}

// A fresh account name fails every second, on a store that already holds one failure per second
// of the last 7,400 s (just under 1 MiB): once past 1 MiB, the store sheds what went stale.
void BM_FreshNameEverySecond(benchmark::State& state) {
    g_now = kNow;
    write_text("login_attempts.json", attempts(7400, [](int i) { return 7400 - i; }));
    const double start = static_cast<double>(file_size("login_attempts.json"));
    double largest = start;
    long long n = 0;
    for (auto _ : state) {
        ++g_now;
        id_login_failed(("fresh" + std::to_string(n++) + "@example.org").c_str(), nullptr);
        state.PauseTiming();
        largest = std::max(largest, static_cast<double>(file_size("login_attempts.json")));
        state.ResumeTiming();
    }
    state.counters["bytes_start"] = start;
    state.counters["bytes_largest"] = largest;
    state.counters["bytes_end"] = static_cast<double>(file_size("login_attempts.json"));
}

// A wrong guess on the next account of the store (each is tried once, its third strike), from
// the next address when `with_address`: the written pair, or begin and its report.
int g_next_account = 0;
template <bool kBegin, bool kWithAddress>
void BM_Guess(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    write_text("login_attempts.json", recent_store(n));
    std::remove(data_file("login_attempts_ip.json").c_str());
    for (auto _ : state) {
        const int k = g_next_account++ % n;
        const std::string account = "user" + std::to_string(k) + "@example.org";
        const std::string address = "10.1." + std::to_string(k / 250) + "." + std::to_string(k % 250);
        const char* ip = kWithAddress ? address.c_str() : nullptr;
        const int allowed = kBegin ? id_login_begin(account.c_str(), ip, nullptr, 0)
                                   : id_login_allowed(account.c_str(), nullptr, nullptr, 0);
        if (allowed != 1) {
            state.SkipWithError("the guess was refused");
            break;
        }
        id_login_failed(account.c_str(), ip);
    }
    state.counters["file_bytes"] = static_cast<double>(file_size("login_attempts.json"));
}
void BM_WrittenPair(benchmark::State& state) { BM_Guess<false, false>(state); }
void BM_BeginAndReport(benchmark::State& state) { BM_Guess<true, false>(state); }
void BM_WrittenPairWithAddress(benchmark::State& state) { BM_Guess<false, true>(state); }
void BM_BeginAndReportWithAddress(benchmark::State& state) { BM_Guess<true, true>(state); }

#define MEDIAN_OF_5 Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)
BENCHMARK(BM_FailedSignIn)->Arg(1000)->Arg(10000)->Arg(100000)->MEDIAN_OF_5;
BENCHMARK(BM_ParseAndSaveAttempts)->Arg(1000)->Arg(10000)->Arg(100000)->MEDIAN_OF_5;
BENCHMARK(BM_AuditEventFullLog)->MEDIAN_OF_5;
BENCHMARK(BM_ParseAndSaveAudit)->MEDIAN_OF_5;
BENCHMARK(BM_FailedSignInSheddingStaleStore)->Iterations(5)->MEDIAN_OF_5;
BENCHMARK(BM_FreshNameEverySecond)->Iterations(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WrittenPair)->Arg(1000)->Arg(10000)->MEDIAN_OF_5;
BENCHMARK(BM_BeginAndReport)->Arg(1000)->Arg(10000)->MEDIAN_OF_5;
BENCHMARK(BM_WrittenPairWithAddress)->Arg(1000)->Arg(10000)->MEDIAN_OF_5;
BENCHMARK(BM_BeginAndReportWithAddress)->Arg(1000)->Arg(10000)->MEDIAN_OF_5;

void print_ratio(const char* what, const tarn::bench::Median& ours, const tarn::bench::Median& floor) {
    if (!ours.ran() || !floor.ran()) return;
    std::printf("%-32s %8.2f ms (cpu %7.2f); parse + save %8.2f ms (cpu %7.2f); ratio %.2f (cpu %.2f)\n", what,
                ours.real * 1e3, ours.cpu * 1e3, floor.real * 1e3, floor.cpu * 1e3, ours.real / floor.real,
                ours.cpu / floor.cpu);
}

void print_against_pair(const char* what, const tarn::bench::Median& ours, const tarn::bench::Median& pair) {
    if (!ours.ran() || !pair.ran()) return;
    std::printf("%-32s %8.2f ms (cpu %7.2f); written pair %8.2f ms (cpu %7.2f); ratio %.2f (cpu %.2f)\n", what,
                ours.real * 1e3, ours.cpu * 1e3, pair.real * 1e3, pair.cpu * 1e3, ours.real / pair.real,
                ours.cpu / pair.cpu);
}

}  // namespace

int main(int argc, char** argv) {
    const tarn::bench::ScratchDir dir("signin-bench");
    if (!dir) return 1;
    g_data_dir = dir.data();
    std::filesystem::create_directory(g_data_dir);
    tarn::testing::set_clock(&bench_clock);

    benchmark::Initialize(&argc, argv);
    tarn::bench::MedianReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    for (const std::string n : {"1000", "10000", "100000"})
        print_ratio(("failed sign-in, " + n + " accounts:").c_str(), reporter.of("BM_FailedSignIn/" + n),
                    reporter.of("BM_ParseAndSaveAttempts/" + n));
    print_ratio("audit event, full log:", reporter.of("BM_AuditEventFullLog"), reporter.of("BM_ParseAndSaveAudit"));
    for (const std::string n : {"1000", "10000"}) {
        print_against_pair(("begin + failed, " + n + " accounts:").c_str(), reporter.of("BM_BeginAndReport/" + n),
                           reporter.of("BM_WrittenPair/" + n));
        print_against_pair("  the same, with an address:", reporter.of("BM_BeginAndReportWithAddress/" + n),
                           reporter.of("BM_WrittenPairWithAddress/" + n));
    }
    return 0;
}
