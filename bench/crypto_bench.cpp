// Speed of the password-hashing path and of bulk SHA-256, ours against OpenSSL, in one run:
//   build-crypto/bench/crypto_bench
// Each case runs with repetitions; after Google Benchmark's own table a summary prints the
// medians side by side with the ratio ours / OpenSSL (below 1 means ours is faster).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "crypto/sha256_impl.hpp"
#include "tarn_crypto.h"

namespace {

constexpr uint32_t kIterations = 100000;  // the password hash's count
constexpr int kRepetitions = 9;
const char kPassword[] = "correct horse battery staple";
const unsigned char kSalt[16] = {0x5a, 0x17, 0x9c, 0x02, 0xee, 0x41, 0x8d, 0x73,
                                 0x10, 0xb6, 0x2f, 0xc8, 0x64, 0x09, 0xd5, 0x3e};

enum class Impl { kHardware, kPortable, kOpenSsl };

// Selects our engine for the duration of one benchmark; false when it cannot run here.
bool select_engine(benchmark::State& state, Impl impl) {
    if (impl == Impl::kHardware && !tarn::crypto::sha256_hw_supported()) {
        state.SkipWithError("CPU lacks the SHA extensions");
        return false;
    }
    tarn::crypto::testing::force_portable_sha256(impl == Impl::kPortable);
    return true;
}

void pbkdf2(benchmark::State& state, Impl impl) {
    if (!select_engine(state, impl)) return;
    unsigned char out[32];
    for (auto _ : state) {
        int ok;
        if (impl == Impl::kOpenSsl)
            ok = PKCS5_PBKDF2_HMAC(kPassword, sizeof kPassword - 1, kSalt, sizeof kSalt, kIterations,
                                   EVP_sha256(), sizeof out, out) == 1;
        else
            ok = tarn_pbkdf2_sha256(kPassword, sizeof kPassword - 1, kSalt, sizeof kSalt, kIterations,
                                    out, sizeof out) == 0;
        if (!ok) state.SkipWithError("derivation failed");
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    tarn::crypto::testing::force_portable_sha256(false);
}

void sha256_mib(benchmark::State& state, Impl impl) {
    if (!select_engine(state, impl)) return;
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> d(1 << 20);
        for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<unsigned char>(i * 131 + 7);
        return d;
    }();
    unsigned char out[32];
    for (auto _ : state) {
        if (impl == Impl::kOpenSsl)
            SHA256(data.data(), data.size(), out);
        else
            tarn_sha256(data.data(), data.size(), out);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
    tarn::crypto::testing::force_portable_sha256(false);
}

void print_group(const tarn::bench::MedianReporter& rep, const char* title, const std::string& prefix, double scale,
                 const char* unit, double mib_per_op) {
    const double ref = rep.of(prefix + "/openssl").real;
    std::printf("\n%s (median of %d repetitions)\n", title, kRepetitions);
    for (const char* impl : {"openssl", "tarn_sha_ext", "tarn_portable"}) {
        const double s = rep.of(prefix + "/" + impl).real;
        if (s < 0) {
            std::printf("  %-14s  not run\n", impl);
            continue;
        }
        std::printf("  %-14s %10.3f %s", impl, s * scale, unit);
        if (mib_per_op > 0) std::printf("  %8.1f MiB/s", mib_per_op / s);
        if (ref > 0) std::printf("   ours/OpenSSL %.3f", s / ref);
        std::printf("\n");
    }
}

// The figures mean nothing if the two sides compute different things: check once up front.
bool outputs_agree() {
    unsigned char ours[32], ref[32];
    for (bool portable : {false, true}) {
        tarn::crypto::testing::force_portable_sha256(portable);
        if (tarn_pbkdf2_sha256(kPassword, sizeof kPassword - 1, kSalt, sizeof kSalt, 1000, ours, 32) != 0)
            return false;
        PKCS5_PBKDF2_HMAC(kPassword, sizeof kPassword - 1, kSalt, sizeof kSalt, 1000, EVP_sha256(), 32, ref);
        if (std::memcmp(ours, ref, 32) != 0) return false;
    }
    tarn::crypto::testing::force_portable_sha256(false);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!outputs_agree()) {
        std::fprintf(stderr, "PBKDF2 output differs from OpenSSL's: not benchmarking\n");
        return 1;
    }
    const struct {
        const char* name;
        Impl impl;
    } impls[] = {{"openssl", Impl::kOpenSsl}, {"tarn_sha_ext", Impl::kHardware}, {"tarn_portable", Impl::kPortable}};
    for (const auto& i : impls) {
        benchmark::RegisterBenchmark((std::string("pbkdf2_100k/") + i.name).c_str(), pbkdf2, i.impl)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3)
            ->Repetitions(kRepetitions)
            ->DisplayAggregatesOnly();
    }
    for (const auto& i : impls) {
        benchmark::RegisterBenchmark((std::string("sha256_1MiB/") + i.name).c_str(), sha256_mib, i.impl)
            ->Unit(benchmark::kMicrosecond)
            ->MinTime(0.2)
            ->Repetitions(kRepetitions)
            ->DisplayAggregatesOnly();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    tarn::bench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_group(reporter, "PBKDF2-HMAC-SHA-256, 100000 iterations, 32-byte output", "pbkdf2_100k", 1e3, "ms", 0);
    print_group(reporter, "SHA-256 over 1 MiB", "sha256_1MiB", 1e6, "us", 1.0);
    benchmark::Shutdown();
    return 0;
}
