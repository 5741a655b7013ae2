// RS256 signing of a typical access token with the active key, against OpenSSL signing the same
// signing input with the same RSA-2048 key; and the in-process part of a jwks request (load
// keys.json, check the key, build the key set). Prints the median of 5 repetitions and the ratio.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "identity_common.h"
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

class MedianCollector : public benchmark::ConsoleReporter {
public:
    MedianCollector() : ConsoleReporter(OO_Tabular) {}
    std::map<std::string, double> medians;  // microseconds per operation
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                medians[r.run_name.function_name] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    // A scratch data directory with one key, created the way the first jwks request creates it.
    std::string dir = (std::filesystem::temp_directory_path() / "tarn-keys-bench-XXXXXX").string();
    if (!mkdtemp(dir.data())) return 1;
    setenv("IDENTITY_DATA_DIR", (dir + "/data").c_str(), 1);
    if (chdir(dir.c_str()) != 0 || id_keys_load_or_create() != 0) return 1;

    benchmark::Initialize(&argc, argv);
    MedianCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::filesystem::remove_all(dir);

    auto& m = reporter.medians;
    if (m.count("BM_TarnSignRs256") && m.count("BM_OpenSslSignRs256")) {
        std::printf("RS256 signing, median: tarn %.1f us, OpenSSL %.1f us, ratio tarn/OpenSSL %.2f\n",
                    m["BM_TarnSignRs256"], m["BM_OpenSslSignRs256"],
                    m["BM_TarnSignRs256"] / m["BM_OpenSslSignRs256"]);
    }
    if (m.count("BM_LoadAndPublish"))
        std::printf("load keys.json, check the key, build the key set, median: %.1f us\n",
                    m["BM_LoadAndPublish"]);
    return 0;
}
