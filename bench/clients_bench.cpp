// Cost of what a token or authorization request does with clients and parameters:
//   build/bench/clients_bench
// Lookups and authentication read clients.json afresh (every request is a new process), so they
// are measured against registries of 10, 100 and 1000 clients; registration includes the locked,
// fsynced save. The parameter lookups are a request's first (body read and parsed) and a later
// one.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_support.hpp"
#include "id_clients.h"
#include "id_foundation.h"
#include "id_request.h"
#include "request/params.hpp"
#include "tarn_cgi.h"
#include "tarn_crypto.h"

namespace {

// A scratch data directory in force for the whole run, made by the first case that needs it and
// removed at exit.
const std::string& data_dir() {
    static const tarn::bench::ScratchDir scratch("clients-bench");
    static const std::string dir = [] {
        if (!scratch || !std::filesystem::create_directory(scratch.data())) std::abort();
        return scratch.data();
    }();
    return dir;
}

void write(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// clients.json with `n` confidential clients "client_<i>" whose secret is "sec_<i>".
void write_registry(int n) {
    std::string s = "[";
    for (int i = 0; i < n; ++i) {
        const std::string k = std::to_string(i);
        s += (i ? ",\n" : "\n");
        s += "    {\n        \"client_id\": \"client_" + k + "\",\n        \"name\": \"App " + k +
             "\",\n        \"secret\": \"sec_" + k + "\",\n        \"scopes\": \"openid profile\",\n" +
             "        \"redirect_uris\": [\n            \"https://app" + k + ".example/cb\"\n        ]\n    }";
    }
    write(data_dir() + "/clients.json", s + "\n]");
}

void FindLastClient(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    write_registry(n);
    const std::string id = "client_" + std::to_string(n - 1);
    id_client c;
    for (auto _ : state) benchmark::DoNotOptimize(id_client_find_by_id(id.c_str(), &c));
}
BENCHMARK(FindLastClient)->Arg(10)->Arg(100)->Arg(1000);

void AuthenticateByBasicHeader(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    write_registry(n);
    const std::string k = std::to_string(n - 1);
    // The last client's credentials, in the URL-safe alphabet the reader accepts as well.
    const std::string creds = "client_" + k + ":sec_" + k;
    char encoded[128];
    tarn_base64url_encode(creds.data(), creds.size(), encoded, sizeof encoded);
    ::setenv("HTTP_AUTHORIZATION", (std::string("Basic ") + encoded).c_str(), 1);
    for (auto _ : state) {
        if (id_authenticate_client(nullptr, nullptr, nullptr, nullptr, nullptr, 0) != 0)
            state.SkipWithError("failed");
    }
    ::unsetenv("HTTP_AUTHORIZATION");
}
BENCHMARK(AuthenticateByBasicHeader)->Arg(10)->Arg(100)->Arg(1000);

void ListClients(benchmark::State& state) {
    write_registry(static_cast<int>(state.range(0)));
    for (auto _ : state) id_free(id_client_list_json());
}
BENCHMARK(ListClients)->Arg(10)->Arg(100)->Arg(1000);

void RegisterClient(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        write_registry(n);
        state.ResumeTiming();
        char id[32], secret[32];
        if (id_client_create("App", "https://app.example/cb", nullptr, id, sizeof id, secret, sizeof secret, 0,
                             nullptr, 0) != 0)
            state.SkipWithError("failed");
    }
}
BENCHMARK(RegisterClient)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

// A token request's parameters: the first lookup reads and parses the body, later ones do not.
void FirstParameterOfAJsonBody(benchmark::State& state) {
    std::string body = "{";
    for (int i = 0; i < 20; ++i) body += "\"p" + std::to_string(i) + "\":\"value-" + std::to_string(i) + "\",";
    body += "\"grant_type\":\"authorization_code\"}";
    write(data_dir() + "/body.json", body);
    ::setenv("REQUEST_METHOD", "POST", 1);
    ::setenv("CONTENT_TYPE", "application/json", 1);
    ::setenv("POST_BODY_FILE", (data_dir() + "/body.json").c_str(), 1);
    for (auto _ : state) {
        tarn::params::testing::reset_request();
        benchmark::DoNotOptimize(id_param("grant_type"));
        if (state.range(0)) benchmark::DoNotOptimize(id_param("p19"));
    }
}
BENCHMARK(FirstParameterOfAJsonBody)->Arg(0)->Arg(1);

void QueryParameter(benchmark::State& state) {
    std::string q;
    for (int i = 0; i < 20; ++i) q += "p" + std::to_string(i) + "=v%20" + std::to_string(i) + "&";
    q += "redirect_uri=https%3A%2F%2Fapp.example%2Fcb";
    ::setenv("QUERY_STRING", q.c_str(), 1);
    for (auto _ : state) benchmark::DoNotOptimize(cgi_query("redirect_uri"));
    ::unsetenv("QUERY_STRING");
}
BENCHMARK(QueryParameter);

}  // namespace

BENCHMARK_MAIN();
