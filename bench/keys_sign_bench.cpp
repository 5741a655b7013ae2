// RS256 signing of a typical access token with the active key, against OpenSSL signing the same
// signing input with the same RSA-2048 key; and the in-process part of a jwks request (load
// keys.json, check the key, build the key set). Prints the median of 5 repetitions and the ratio.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/bench_support.hpp"
#include "id_foundation.h"
#include "id_keys.h"
#include "keys/key_store.hpp"

namespace {

// A typical access token: issuer, subject, audience, times, scope, jti.
const char kPayload[] =
    "{\"iss\":\"https://id.example.org\",\"sub\":\"usr_Qk3v9ZrT2aX\",\"aud\":\"client_8fJw2LmPq0Z\","
    "\"iat\":1760000000,\"exp\":1760003600,\"scope\":\"openid profile email\","
    "\"client_id\":\"client_8fJw2LmPq0Z\",\"jti\":\"Yc2Vx7QpLm4Nz8Rk\"}";

void BM_TarnSignRs256(benchmark::State& state) {
    char token[8192];
    for (auto _ : state) {
        if (id_jwt_sign_rs256(kPayload, token, sizeof token) != 0) {
            state.SkipWithError("signing failed");
            break;
        }
        benchmark::DoNotOptimize(token);
    }
}

// OpenSSL signs the signing input of the token above (header.payload) with the same key.
void BM_OpenSslSignRs256(benchmark::State& state) {
    char token[8192];
    if (id_jwt_sign_rs256(kPayload, token, sizeof token) != 0) {
        state.SkipWithError("no key");
        return;
    }
    std::string input(token, std::strrchr(token, '.') - token);
    const id_key_entry& e = tarn::keys::g_table.keys[0];
    const unsigned char* p = e.der;
    EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(e.der_len));
    unsigned char sig[512];
    for (auto _ : state) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        std::size_t len = sizeof sig;
        if (EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) != 1 ||
            EVP_DigestSign(ctx, sig, &len, reinterpret_cast<const unsigned char*>(input.data()),
                           input.size()) != 1) {
            state.SkipWithError("OpenSSL signing failed");
            EVP_MD_CTX_free(ctx);
            break;
        }
        EVP_MD_CTX_free(ctx);
        benchmark::DoNotOptimize(sig);
    }
    EVP_PKEY_free(key);
}

// What a jwks process does after start-up: load keys.json, check the key, build the key set.
void BM_LoadAndPublish(benchmark::State& state) {
    for (auto _ : state) {
        tarn::keys::testing::reset_table();
        char* set = id_keys_jwks_json();
        if (!set) {
            state.SkipWithError("no key set");
            break;
        }
        id_free(set);
    }
}

BENCHMARK(BM_TarnSignRs256)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_OpenSslSignRs256)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_LoadAndPublish)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    // A scratch data directory with one key, created the way the first jwks request creates it.
    const tarn::bench::ScratchDir dir("keys-bench");
    if (!dir || id_keys_load_or_create() != 0) return 1;

    benchmark::Initialize(&argc, argv);
    tarn::bench::MedianReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto ours = reporter.of("BM_TarnSignRs256"), theirs = reporter.of("BM_OpenSslSignRs256");
    if (ours.ran() && theirs.ran())
        std::printf("RS256 signing, median: tarn %.1f us, OpenSSL %.1f us, ratio tarn/OpenSSL %.2f\n",
                    ours.real * 1e6, theirs.real * 1e6, ours.real / theirs.real);
    if (const auto publish = reporter.of("BM_LoadAndPublish"); publish.ran())
        std::printf("load keys.json, check the key, build the key set, median: %.1f us\n", publish.real * 1e6);
    return 0;
}
