// The provider's programs as whole processes (fork, exec, the CGI request, exit), each against
// the floors it cannot go below:
//   token endpoint, code exchange and refresh: the jwks program's process cost + one tokens.json
//     change + two RS256 signatures (the access token and the ID token);
//   sign-in POST: the jwks process cost + one PBKDF2 derivation + its store changes (the sign-in
//     record, the session, the audit event).
// Both RS256 engines are measured in the same run as processes that load the key and sign twice:
// BearSSL (as the library signs) and OpenSSL's libcrypto linked in statically, each signature
// checked with the public key. Prints the median of 5 repetitions and the ratios. With
// TARN_BENCH_BASELINE_TOKEN naming another token program, that one is measured in the same run.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "id_accounts.h"
#include "id_audit.h"
#include "id_clients.h"
#include "id_jwt.h"
#include "id_keys.h"
#include "id_signin.h"
#include "id_tokens.h"
#include "tarn_crypto.h"
#include "web/csrf.hpp"

namespace {

std::string g_data;
std::string g_user_id, g_client_id, g_secret;
const char* kPassword = "correct horse 1";
const char* kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
const char* kChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";
const char* kRedirect = "http://127.0.0.1:9/cb";
const char* kIssuer = "http://127.0.0.1:9";

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// CPU seconds (user and system) of the child processes each case ran, and their number: the
// wall clock of a shared machine also counts waiting for a CPU.
std::map<std::string, std::pair<double, long>> g_child_cpu;
std::string g_case;

// Runs `exe` as the web server runs a CGI program: the given environment only, the body in the
// file POST_BODY_FILE names, standard output into `out`. True when it exited with status 0.
bool run(const std::string& exe, const std::vector<std::string>& env, const std::string& out) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, 1) < 0) _exit(127);
        std::vector<char*> envp;
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
        execve(exe.c_str(), argv, envp.data());
        _exit(127);
    }
    int status = 0;
    struct rusage use {};
    const bool ok = pid > 0 && wait4(pid, &status, 0, &use) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    auto& [seconds, count] = g_child_cpu[g_case];
    seconds += use.ru_utime.tv_sec + use.ru_stime.tv_sec + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
    ++count;
    return ok;
}

std::vector<std::string> cgi_env(const std::string& body_file, const std::string& extra = "") {
    std::vector<std::string> env = {"IDENTITY_DATA_DIR=" + g_data, std::string("IDENTITY_BASE_URL=") + kIssuer,
                                    "REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded",
                                    "POST_BODY_FILE=" + body_file, "REMOTE_ADDR=127.0.0.1"};
    if (!extra.empty()) env.push_back(extra);
    return env;
}

std::string member(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    const std::size_t at = json.find(key);
    if (at == std::string::npos) return {};
    const std::size_t start = at + key.size();
    return json.substr(start, json.find('"', start) - start);
}

std::string basic() {
    const std::string cred = g_client_id + ":" + g_secret;
    char b64[256];
    tarn_base64url_encode(cred.data(), cred.size(), b64, sizeof b64);
    std::string s(b64);
    for (char& c : s) c = c == '-' ? '+' : c == '_' ? '/' : c;
    while (s.size() % 4) s.push_back('=');
    return "HTTP_AUTHORIZATION=Basic " + s;
}

void BM_JwksProcess(benchmark::State& state) {
    g_case = "BM_JwksProcess";
    const std::string out = g_data + "/../jwks.out";
    for (auto _ : state)
        if (!run(TARN_PROGRAMS_DIR "/jwks", {"IDENTITY_DATA_DIR=" + g_data, "REQUEST_METHOD=GET"}, out)) {
            state.SkipWithError("jwks failed");
            break;
        }
}

// One change of tokens.json that leaves it as it was: lock, load, save.
void BM_TokensChange(benchmark::State& state) {
    for (auto _ : state)
        if (id_session_delete("sess_absent") != 0) {
            state.SkipWithError("change failed");
            break;
        }
}

void BM_TwoSignatures(benchmark::State& state) {
    static char token[ID_JWT_TOKEN_CAP];
    const char* claims = "{\"iss\":\"http://127.0.0.1:9\",\"sub\":\"usr_Qk3v9ZrT2aX\",\"scope\":\"openid profile\"}";
    for (auto _ : state)
        for (int i = 0; i < 2; ++i)
            if (id_jwt_sign_rs256(claims, token, sizeof token) != 0) state.SkipWithError("signing failed");
}

void BM_Rs256Process(benchmark::State& state) {
    g_case = "BM_Rs256Process/" + std::to_string(state.range(0));
    const std::string exe = state.range(0) ? TARN_BENCH_DIR "/tarn_rs256_openssl" : TARN_BENCH_DIR "/tarn_rs256_bearssl";
    const std::string out = g_data + "/../rs256.out";
    for (auto _ : state)
        if (!run(exe, {"IDENTITY_DATA_DIR=" + g_data}, out)) {
            state.SkipWithError("signing process failed");
            break;
        }
}

// A token program to compare with, named by TARN_BENCH_BASELINE_TOKEN (for example one built
// from an earlier commit): measured as argument 2 in the same run when given.
const char* baseline_token() {
    const char* path = std::getenv("TARN_BENCH_BASELINE_TOKEN");
    return path && *path ? path : nullptr;
}

// The token endpoint as served (OpenSSL signs), for argument 1 once more with BearSSL, for 2 the
// baseline program.
std::string token_program(const benchmark::State& state) {
    if (state.range(0) == 2) return baseline_token();
    return state.range(0) ? TARN_BENCH_DIR "/token_bearssl" : TARN_PROGRAMS_DIR "/token";
}

void BM_TokenCodeExchange(benchmark::State& state) {
    g_case = "BM_TokenCodeExchange/" + std::to_string(state.range(0));
    const std::string body = g_data + "/../code.body", out = g_data + "/../code.out";
    for (auto _ : state) {
        state.PauseTiming();
        char code[128];
        if (id_auth_code_create_v(g_user_id.c_str(), "alice", g_client_id.c_str(), kRedirect, "openid profile email",
                                  kChallenge, "S256", "n-1", 1700000000, code, sizeof code) != 0) {
            state.SkipWithError("no code");
            break;
        }
        write_file(body, std::string("grant_type=authorization_code&code=") + code +
                             "&redirect_uri=http%3A%2F%2F127.0.0.1%3A9%2Fcb&code_verifier=" + kVerifier);
        state.ResumeTiming();
        const bool ok = run(token_program(state), cgi_env(body, basic()), out);
        state.PauseTiming();
        const std::string answer = read_file(out);
        const std::string rt = member(answer, "refresh_token");
        if (!ok || member(answer, "id_token").empty() || rt.empty()) {
            state.SkipWithError(("exchange failed: " + answer).c_str());
            break;
        }
        id_refresh_token_revoke(rt.c_str());  // the store stays the size it was
        state.ResumeTiming();
    }
}

void BM_TokenRefresh(benchmark::State& state) {
    g_case = "BM_TokenRefresh/" + std::to_string(state.range(0));
    const std::string body = g_data + "/../refresh.body", out = g_data + "/../refresh.out";
    for (auto _ : state) {
        state.PauseTiming();
        char rt[128];
        if (id_refresh_token_create(g_user_id.c_str(), "alice", g_client_id.c_str(), "openid profile email", rt,
                                    sizeof rt) != 0) {
            state.SkipWithError("no refresh token");
            break;
        }
        write_file(body, std::string("grant_type=refresh_token&refresh_token=") + rt);
        state.ResumeTiming();
        const bool ok = run(token_program(state), cgi_env(body, basic()), out);
        state.PauseTiming();
        const std::string answer = read_file(out);
        const std::string next = member(answer, "refresh_token");
        if (!ok || next.empty()) {
            state.SkipWithError(("refresh failed: " + answer).c_str());
            break;
        }
        id_refresh_token_revoke_family(next.c_str(), nullptr);
        state.ResumeTiming();
    }
}

void BM_SignInPost(benchmark::State& state) {
    g_case = "BM_SignInPost";
    const std::string body = g_data + "/../signin.body", out = g_data + "/../signin.out";
    unsigned char secret[32];
    if (id_get_secret_key(secret) != 0) return state.SkipWithError("no secret");
    const std::string cookie = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
    write_file(body, "username=alice&password=correct+horse+1&csrf=" + web::csrf_token(secret, "signin", cookie));
    for (auto _ : state) {
        const bool ok = run(TARN_PROGRAMS_DIR "/signin", cgi_env(body, "HTTP_COOKIE=id_csrf=" + cookie), out);
        state.PauseTiming();
        const std::string answer = read_file(out);
        if (!ok || answer.find("Set-Cookie: id_session=") == std::string::npos) {
            state.SkipWithError(("sign-in failed: " + answer).c_str());
            break;
        }
        id_session_delete_by_user(g_user_id.c_str());
        state.ResumeTiming();
    }
}

void BM_Pbkdf2(benchmark::State& state) {
    unsigned char out[32];
    for (auto _ : state) tarn_pbkdf2_sha256(kPassword, std::strlen(kPassword), "0123456789abcdef", 16, 100000, out, 32);
}

// The store changes of a successful sign-in: the account's record, the session, the audit event.
void BM_SignInChanges(benchmark::State& state) {
    char sid[128];
    for (auto _ : state) {
        id_login_success("alice");
        id_session_create(g_user_id.c_str(), "alice", sid, sizeof sid);
        id_audit_record("login_success", g_user_id.c_str(), "alice", "127.0.0.1", "");
        state.PauseTiming();
        id_session_delete_by_user(g_user_id.c_str());
        state.ResumeTiming();
    }
}

#define MEDIAN_OF_5 Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)
BENCHMARK(BM_JwksProcess)->MEDIAN_OF_5;
BENCHMARK(BM_TokensChange)->MEDIAN_OF_5;
BENCHMARK(BM_TwoSignatures)->MEDIAN_OF_5;
BENCHMARK(BM_Rs256Process)->Arg(0)->Arg(1)->MEDIAN_OF_5;
BENCHMARK(BM_TokenCodeExchange)->Arg(0)->Arg(1)->MEDIAN_OF_5;
BENCHMARK(BM_TokenRefresh)->Arg(0)->Arg(1)->MEDIAN_OF_5;
BENCHMARK(BM_Pbkdf2)->MEDIAN_OF_5;
BENCHMARK(BM_SignInChanges)->MEDIAN_OF_5;
BENCHMARK(BM_SignInPost)->MEDIAN_OF_5;

// CPU per operation: of the child processes for a case that runs programs, else of this one.
double cpu_of(const std::string& name, const tarn::bench::Median& m) {
    for (const auto& [key, use] : g_child_cpu)
        if (key.rfind(name, 0) == 0 && use.second > 0) return use.first / use.second;
    return m.cpu;
}

void line(const char* what, const std::string& name, const tarn::bench::Median& m) {
    if (m.ran()) std::printf("  %-48s %8.2f ms   cpu %6.2f ms\n", what, m.real * 1e3, cpu_of(name, m) * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    const tarn::bench::ScratchDir dir("provider-bench");
    if (!dir) return 1;
    g_data = dir.data();
    char id[64], client[64], secret[64];
    if (id_user_create("alice", kPassword, "alice@example.com", id, sizeof id) != 0 ||
        id_client_create("Bench app", kRedirect, "openid profile email", client, sizeof client, secret, sizeof secret, 0,
                         nullptr, 0) != 0 ||
        id_keys_load_or_create() != 0)
        return 1;
    g_user_id = id;
    g_client_id = client;
    g_secret = secret;
    for (int i = 0; i < 200; ++i) id_audit_record("login_success", id, "alice", "127.0.0.1", "");

    if (baseline_token()) {
        benchmark::RegisterBenchmark("BM_TokenCodeExchange", BM_TokenCodeExchange)->Arg(2)->MEDIAN_OF_5;
        benchmark::RegisterBenchmark("BM_TokenRefresh", BM_TokenRefresh)->Arg(2)->MEDIAN_OF_5;
    }
    benchmark::Initialize(&argc, argv);
    tarn::bench::MedianReporter r(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&r);
    benchmark::Shutdown();

    const auto m = [&](const char* name) { return r.of(name); };
    const auto cpu = [&](const char* name) { return cpu_of(name, r.of(name)); };
    std::printf("\nmedians of 5 (wall clock; cpu: user + system of the programs run, else of this process)\n");
    std::printf("floors:\n");
    line("jwks process", "BM_JwksProcess", m("BM_JwksProcess"));
    line("one tokens.json change", "BM_TokensChange", m("BM_TokensChange"));
    line("two RS256 signatures (BearSSL, in process)", "BM_TwoSignatures", m("BM_TwoSignatures"));
    line("PBKDF2, 100000 iterations", "BM_Pbkdf2", m("BM_Pbkdf2"));
    line("sign-in store changes (record, session, audit)", "BM_SignInChanges", m("BM_SignInChanges"));
    std::printf("engines: a process that loads the key and signs twice\n");
    line("BearSSL", "BM_Rs256Process/0", m("BM_Rs256Process/0"));
    line("OpenSSL (static libcrypto, checked by BearSSL)", "BM_Rs256Process/1", m("BM_Rs256Process/1"));
    std::printf("programs:\n");
    line("token, code exchange (OpenSSL signs)", "BM_TokenCodeExchange/0", m("BM_TokenCodeExchange/0"));
    line("token, code exchange (BearSSL signs)", "BM_TokenCodeExchange/1", m("BM_TokenCodeExchange/1"));
    line("token, refresh (OpenSSL signs)", "BM_TokenRefresh/0", m("BM_TokenRefresh/0"));
    line("token, refresh (BearSSL signs)", "BM_TokenRefresh/1", m("BM_TokenRefresh/1"));
    if (baseline_token()) {
        std::printf("  baseline token program: %s\n", baseline_token());
        line("baseline token, code exchange", "BM_TokenCodeExchange/2", m("BM_TokenCodeExchange/2"));
        line("baseline token, refresh", "BM_TokenRefresh/2", m("BM_TokenRefresh/2"));
    }
    line("sign-in POST", "BM_SignInPost", m("BM_SignInPost"));

    // The floors: the process, one change, and two signatures by the cheaper of the engines
    // (their whole-process difference moved onto the in-process BearSSL figure).
    const double engine = std::min(0.0, m("BM_Rs256Process/1").real - m("BM_Rs256Process/0").real);
    const double engine_cpu = std::min(0.0, cpu("BM_Rs256Process/1") - cpu("BM_Rs256Process/0"));
    const double floors =
        m("BM_JwksProcess").real + m("BM_TokensChange").real + m("BM_TwoSignatures").real + engine;
    const double floors_cpu = cpu("BM_JwksProcess") + cpu("BM_TokensChange") + cpu("BM_TwoSignatures") + engine_cpu;
    std::printf("ratios to the floors (jwks process + one tokens.json change + two signatures, %.2f ms, cpu %.2f):\n",
                floors * 1e3, floors_cpu * 1e3);
    for (const char* name : {"BM_TokenCodeExchange/0", "BM_TokenCodeExchange/1", "BM_TokenCodeExchange/2",
                             "BM_TokenRefresh/0", "BM_TokenRefresh/1", "BM_TokenRefresh/2"}) {
        if (!m(name).ran() || floors <= 0) continue;
        std::printf("  %-40s wall %.2f, cpu %.2f\n", name + 3, m(name).real / floors, cpu(name) / floors_cpu);
    }
    const double sf = m("BM_JwksProcess").real + m("BM_Pbkdf2").real + m("BM_SignInChanges").real;
    const double sf_cpu = cpu("BM_JwksProcess") + cpu("BM_Pbkdf2") + cpu("BM_SignInChanges");
    if (m("BM_SignInPost").ran() && sf > 0)
        std::printf("  %-20s wall %.2f, cpu %.2f (floors: jwks process + PBKDF2 + its store changes)\n", "sign-in POST",
                    m("BM_SignInPost").real / sf, cpu("BM_SignInPost") / sf_cpu);
    return 0;
}
