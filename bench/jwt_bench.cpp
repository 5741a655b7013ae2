// Tokens per second: minting and verifying RS256 access and ID tokens, making and verifying HS256
// tokens, and RS256 signing and signature verification against OpenSSL with the same key and the
// same signing input, all in one run. Prints the median of 5 repetitions of each, as operations
// per second, and the ratios to OpenSSL.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/bench_support.hpp"
#include "id_jwt.h"
#include "id_keys.h"
#include "keys/key_store.hpp"
#include "tarn_crypto.h"

namespace {

char g_access[ID_JWT_TOKEN_CAP];  // a typical access token, made once
std::string g_hs256;              // an HS256 token with the same claims

template <class Fn>
void run(benchmark::State& state, Fn&& fn) {
    for (auto _ : state) {
        if (!fn()) {
            state.SkipWithError("operation failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

bool mint_access(char* out) {
    return id_jwt_mint_access_token("https://id.example.org", "usr_Qk3v9ZrT2aX", "alice", "alice@example.org",
                                    "client_8fJw2LmPq0Z", "openid profile email", 0, out, ID_JWT_TOKEN_CAP) == 0;
}

void BM_MintAccessRs256(benchmark::State& state) {
    char token[ID_JWT_TOKEN_CAP];
    run(state, [&] { return mint_access(token); });
}

void BM_MintIdTokenRs256(benchmark::State& state) {
    char token[ID_JWT_TOKEN_CAP];
    run(state, [&] {
        return id_jwt_mint_id_token_v2("https://id.example.org", "usr_Qk3v9ZrT2aX", "alice", "alice@example.org",
                                       "client_8fJw2LmPq0Z", "n-0S6_WzA2Mj", g_access, 1760000000, 0, token,
                                       sizeof token) == 0;
    });
}

// What minting an HS256 token costs: the claims of the access token signed with the secret read
// from secret.key (the library verifies HS256 tokens but mints RS256 only).
std::string make_hs256() {
    const char* dot = std::strchr(g_access, '.');
    const char* end = std::strrchr(g_access, '.');
    std::string input = "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9";  // {"alg":"HS256","typ":"JWT"}
    input.append(dot, static_cast<std::size_t>(end - dot));
    unsigned char secret[ID_JWT_SECRET_LEN];
    unsigned char mac[32];
    if (id_get_secret_key(secret) != 0) return {};
    tarn_hmac_sha256(secret, sizeof secret, input.data(), input.size(), mac);
    char sig[48];
    tarn_base64url_encode(mac, sizeof mac, sig, sizeof sig);
    return input + "." + sig;
}

void BM_MakeHs256(benchmark::State& state) {
    run(state, [] { return !make_hs256().empty(); });
}

void BM_VerifyRs256(benchmark::State& state) {
    id_jwt_claims claims;
    run(state, [&] { return id_jwt_verify(g_access, &claims) == ID_JWT_VALID; });
}

void BM_VerifyHs256(benchmark::State& state) {
    id_jwt_claims claims;
    run(state, [&] { return id_jwt_verify(g_hs256.c_str(), &claims) == ID_JWT_VALID; });
}

// The same payload signed by the library and by OpenSSL with the active key.
const char kPayload[] =
    "{\"iss\":\"https://id.example.org\",\"sub\":\"usr_Qk3v9ZrT2aX\",\"aud\":\"client_8fJw2LmPq0Z\","
    "\"iat\":1760000000,\"exp\":1760003600,\"scope\":\"openid profile email\",\"jti\":\"Yc2Vx7QpLm4Nz8Rk\"}";

struct OpenSslKey {
    EVP_PKEY* key = nullptr;
    std::string input;      // header.payload of the library's token
    std::string signature;  // its raw signature
    OpenSslKey() {
        char token[ID_JWT_TOKEN_CAP];
        if (id_jwt_sign_rs256(kPayload, token, sizeof token) != 0) return;
        const char* last = std::strrchr(token, '.');
        input.assign(token, static_cast<std::size_t>(last - token));
        unsigned char sig[512];
        std::uint64_t len = 0;
        tarn_base64url_decode(last + 1, std::strlen(last + 1), sig, sizeof sig, &len);
        signature.assign(reinterpret_cast<char*>(sig), static_cast<std::size_t>(len));
        const id_key_entry& e = tarn::keys::g_table.keys[0];
        const unsigned char* p = e.der;
        key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(e.der_len));
    }
    ~OpenSslKey() { EVP_PKEY_free(key); }
};

void BM_TarnSignRs256(benchmark::State& state) {
    char token[ID_JWT_TOKEN_CAP];
    run(state, [&] { return id_jwt_sign_rs256(kPayload, token, sizeof token) == 0; });
}

void BM_OpenSslSignRs256(benchmark::State& state) {
    static OpenSslKey k;
    unsigned char sig[512];
    run(state, [&] {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        std::size_t len = sizeof sig;
        const bool ok = k.key && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, k.key) == 1 &&
                        EVP_DigestSign(ctx, sig, &len, reinterpret_cast<const unsigned char*>(k.input.data()),
                                       k.input.size()) == 1;
        EVP_MD_CTX_free(ctx);
        return ok;
    });
}

// OpenSSL checks the signature only; id_jwt_verify (BM_VerifyRs256) also splits, decodes and
// parses the token and fills the claims record.
void BM_OpenSslVerifyRs256(benchmark::State& state) {
    static OpenSslKey k;
    run(state, [&] {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        const bool ok =
            k.key && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, k.key) == 1 &&
            EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(k.signature.data()), k.signature.size(),
                             reinterpret_cast<const unsigned char*>(k.input.data()), k.input.size()) == 1;
        EVP_MD_CTX_free(ctx);
        return ok;
    });
}

#define TARN_BENCH(fn) BENCHMARK(fn)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true)
TARN_BENCH(BM_MintAccessRs256);
TARN_BENCH(BM_MintIdTokenRs256);
TARN_BENCH(BM_MakeHs256);
TARN_BENCH(BM_VerifyRs256);
TARN_BENCH(BM_VerifyHs256);
TARN_BENCH(BM_TarnSignRs256);
TARN_BENCH(BM_OpenSslSignRs256);
TARN_BENCH(BM_OpenSslVerifyRs256);

}  // namespace

int main(int argc, char** argv) {
    // A scratch data directory with one key and a secret, as the first requests would make them.
    const tarn::bench::ScratchDir dir("jwt-bench");
    unsigned char secret[ID_JWT_SECRET_LEN];
    if (!dir || id_keys_load_or_create() != 0 || id_get_secret_key(secret) != 0 || !mint_access(g_access))
        return 1;
    g_hs256 = make_hs256();

    benchmark::Initialize(&argc, argv);
    tarn::bench::MedianReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // CPU time: steadier than the wall clock on a shared machine.
    std::printf("\nper second of CPU time (median of 5):\n");
    for (const auto& [name, m] : reporter.all())
        std::printf("  %-24s %10.0f /s  (%.1f us)\n", name.c_str() + 3, 1 / m.cpu, m.cpu * 1e6);
    auto ratio = [&reporter](const char* ours, const char* theirs, const char* what) {
        const double a = reporter.of(ours).cpu, b = reporter.of(theirs).cpu;
        if (a > 0 && b > 0)
            std::printf("%s: tarn %.0f /s, OpenSSL %.0f /s, time ratio tarn/OpenSSL %.2f\n", what, 1 / a, 1 / b,
                        a / b);
    };
    ratio("BM_TarnSignRs256", "BM_OpenSslSignRs256", "RS256 signing");
    ratio("BM_VerifyRs256", "BM_OpenSslVerifyRs256", "RS256 verification (tarn: whole token; OpenSSL: signature)");
    return 0;
}
