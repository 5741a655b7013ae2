// Running out of memory in the middle of reading or writing a large document is a failed
// operation, never a crash: every token operation and every store's listing runs on documents of
// about 18 MB in a child process whose address space is capped (RLIMIT_AS) at 30 to 80 MB, and
// must end by returning one of its documented results. The stores are left whole.
//
// AddressSanitizer reserves terabytes of shadow memory up front, so a capped address space stops
// it before the test starts: the sanitizer build skips this test, the optimised build runs it.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "foundation/document.hpp"
#include "id_accounts.h"
#include "id_audit.h"
#include "id_clients.h"
#include "id_consent.h"
#include "id_foundation.h"
#include "id_jwt.h"
#include "id_keys.h"
#include "id_tokens.h"
#include "support/jwt_reference.hpp"
#include "support/test_env.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define TARN_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARN_UNDER_ASAN 1
#endif
#endif

namespace {

using tarn::test::DataDirFixture;
using tarn::test::read_file;
using tarn::test::write_file;

constexpr std::size_t kMB = 1024 * 1024;
constexpr std::size_t kDocumentBytes = 18 * kMB;
constexpr std::size_t kRoomyMB = 1024;
constexpr const char* kFar = "4102444800";  // 2100-01-01: nothing in these stores expires

// The identifiers the operations present: one record of each kind, stored among the others.
const std::string kSession = "sess_" + std::string(32, 'S');
const std::string kCode = "code_" + std::string(32, 'C');
const std::string kRefresh = "rt_" + std::string(43, 'R');
const std::string kRotateMe = "rt_" + std::string(43, 'T');

// `open`, then `first` and `record(0)`, `record(1)`, ... one a line until about `bytes` are
// written, then `close`.
std::string big(const std::string& open, const std::string& first, const std::function<std::string(std::size_t)>& record,
                const std::string& close, std::size_t bytes = kDocumentBytes) {
    std::string s = open + first;
    for (std::size_t i = 0; s.size() < bytes; ++i) s += (i || !first.empty() ? ",\n" : "\n") + record(i);
    return s + close;
}

std::string n(std::size_t i) { return std::to_string(i); }

std::string tokens_json() {
    const std::string far = kFar;
    return big("{\"sessions\":{", "\"" + kSession + "\":{\"user_id\":\"usr_target\",\"username\":\"t\",\"expires_at\":" + far + "}",
               [&](std::size_t i) { return "\"sess_" + n(i) + "\":{\"user_id\":\"usr_" + n(i % 997) + "\",\"username\":\"u\",\"created_at\":1,\"expires_at\":" + far + "}"; },
               "},", kDocumentBytes / 3) +
           big("\"auth_codes\":{", "\"" + kCode + "\":{\"client_id\":\"client_a\",\"redirect_uri\":\"https://a.example/cb\",\"expires_at\":" + far + "}",
               [&](std::size_t i) { return "\"code_" + n(i) + "\":{\"user_id\":\"usr_" + n(i % 997) + "\",\"client_id\":\"client_a\",\"scope\":\"openid\",\"expires_at\":" + far + "}"; },
               "},", kDocumentBytes / 3) +
           big("\"refresh\":[",
               "{\"token\":\"" + kRefresh + "\",\"user_id\":\"usr_target\",\"client_id\":\"client_a\",\"family\":\"" + kRefresh + "\",\"expires_at\":" + far + "},"
               "{\"token\":\"" + kRotateMe + "\",\"user_id\":\"usr_target\",\"client_id\":\"client_a\",\"family\":\"" + kRotateMe + "\",\"expires_at\":" + far + "}",
               [&](std::size_t i) { return "{\"token\":\"rt_" + n(i) + "\",\"user_id\":\"usr_" + n(i % 997) + "\",\"client_id\":\"client_a\",\"family\":\"rt_" + n(i) + "\",\"expires_at\":" + far + "}"; },
               "]}", kDocumentBytes / 3);
}

// The other stores, each one record repeated: identifiers differ, nothing expires.
std::string users_json() {
    return big("[", "", [](std::size_t i) { return "{\"id\":\"usr_" + n(i) + "\",\"username\":\"user" + n(i) + "\",\"email\":\"\",\"pass_hash\":\"pbkdf2$100000$" + std::string(32, 'a') + "$" + std::string(64, 'b') + "\",\"role\":\"user\",\"created\":1,\"last_login\":2}"; }, "]");
}
std::string clients_json() {
    return big("[", "", [](std::size_t i) { return "{\"client_id\":\"client_" + n(i) + "\",\"name\":\"app\",\"secret\":\"sec_" + std::string(22, 'x') + "\",\"scopes\":\"openid\",\"redirect_uris\":[\"https://app.example/cb\"]}"; }, "]");
}
std::string consents_json() {
    return big("{", "", [](std::size_t i) { return "\"usr_" + n(i) + "\":{\"client_" + n(i % 31) + "\":{\"scopes\":\"openid profile\",\"granted\":1}}"; }, "}");
}
std::string audit_json() {
    return big("[", "", [](std::size_t i) { return "{\"ts\":" + n(i) + ",\"event\":\"login\",\"user_id\":\"usr_" + n(i % 997) + "\",\"username\":\"u\",\"ip\":\"192.0.2.1\",\"detail\":\"\"}"; }, "]");
}
std::string revoked_json() {
    return big("{", "", [](std::size_t i) { return "\"jti" + n(i) + "\":{\"exp\":" + std::string(kFar) + ",\"sub\":\"usr_1\",\"client_id\":\"client_a\"}"; }, "}");
}

// What a listing handed out: 0 a listing, 3 its empty form ("[]" or "{}"), 1 NULL (only without
// memory), 2 anything else.
int listed(char* text) {
    int result = 1;
    if (text) {
        const std::string_view t(text);
        result = t == "[]" || t == "{}" ? 3 : (t.front() == '{' || t.front() == '[') && t.size() > 2 ? 0 : 2;
    }
    id_free(text);
    return result;
}

struct Op {
    const char* name;
    const char* file;            // the document it reads
    std::function<int()> run;    // its result
    std::vector<int> results;    // those it may give; the first is its success
};

// The child's result as its exit status (a result of -128 to 127 fits), 255 for the child's
// own failures.
int as_status(int result) { return result + 128; }

struct Outcome {
    bool exited;
    int result;  // when exited
    int signal;  // otherwise
};

Outcome run_capped(const Op& op, std::size_t limit_mb) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) return {false, 0, 0};
    if (pid == 0) {
        // The stack grows on demand, and a growth the cap refuses is a SIGSEGV that no code
        // could have prevented: the child takes its stack before the cap.
        volatile char stack[1 << 20];
        std::memset(const_cast<char*>(stack), 1, sizeof stack);
        const rlimit cap{limit_mb * kMB, limit_mb * kMB};
        if (::setrlimit(RLIMIT_AS, &cap) != 0) ::_exit(255);
        ::_exit(as_status(op.run()) & 0xFF);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status)) return {true, WEXITSTATUS(status) - 128, 0};
    return {false, 0, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

ino_t inode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(MemoryExhaustion, EveryOperationOnLargeDocumentsEndsWithAResult) {
#ifdef TARN_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer cannot run in a capped address space; the optimised build runs this test";
#endif
    DataDirFixture data;
    const std::string pristine = data.work() + "/pristine";
    std::filesystem::create_directory(pristine);
    // Each document is made, checked and written in turn, so that the children (which share
    // this process's address space as it is when they fork) start small.
    const std::vector<std::pair<std::string, std::function<std::string()>>> documents = {
        {"tokens.json", tokens_json},     {"users.json", users_json},     {"clients.json", clients_json},
        {"consents.json", consents_json}, {"audit_log.json", audit_json}, {"revoked.json", revoked_json},
        {"keys.json", [] { return tarn::test::shared_keys_json(); }},
    };
    for (const auto& [name, make] : documents) {
        const std::string text = make();
        tarn::Document check;
        ASSERT_TRUE(tarn::parse_json(text, check)) << name;
        write_file(pristine + "/" + name, text);
    }
    ::malloc_trim(0);
    // Puts the pristine copy back in place (a link: nothing is copied) when a run replaced it.
    auto restore = [&](const std::string& name) {
        const std::string path = data.file(name), source = pristine + "/" + name;
        if (inode(path) == inode(source)) return;
        const std::string staged = path + ".staged";
        ::unlink(staged.c_str());
        ASSERT_EQ(::link(source.c_str(), staged.c_str()), 0);
        ASSERT_EQ(::rename(staged.c_str(), path.c_str()), 0);
    };
    for (const auto& document : documents) restore(document.first);

    char out[512];
    const std::vector<Op> ops = {
        {"session create", "tokens.json", [&] { return id_session_create("usr_1", "alice", out, sizeof out); }, {0, -1}},
        {"session verify", "tokens.json", [&] { return id_session_verify(kSession.c_str(), out, sizeof out, nullptr, 0); }, {1, 0}},
        {"session verify with role", "tokens.json",
         [&] { return id_session_verify_role(kSession.c_str(), out, sizeof out, nullptr, 0, nullptr, 0); }, {1, 0}},
        {"session delete", "tokens.json", [&] { return id_session_delete(kSession.c_str()); }, {0, -1}},
        {"sessions of a user deleted", "tokens.json", [&] { return id_session_delete_by_user("usr_target"); }, {0, -1}},
        {"code create", "tokens.json",
         [&] { return id_auth_code_create("usr_1", "alice", "client_a", "https://a.example/cb", nullptr, nullptr, nullptr, out, sizeof out); },
         {0, -1}},
        {"code consume", "tokens.json",
         [&] { return id_auth_code_consume(kCode.c_str(), "client_a", "https://a.example/cb", nullptr, nullptr); }, {0, -1}},
        {"refresh create", "tokens.json",
         [&] { return id_refresh_token_create("usr_1", "alice", "client_a", nullptr, out, sizeof out); }, {0, -1}},
        {"refresh rotate", "tokens.json",
         [&] { return id_refresh_token_rotate(kRotateMe.c_str(), "client_a", out, sizeof out, nullptr); }, {0, -1}},
        {"refresh revoke", "tokens.json", [&] { return id_refresh_token_revoke(kRefresh.c_str()); }, {0, -1}},
        {"refresh revoke by user", "tokens.json", [&] { return id_refresh_token_revoke_by_user("usr_target"); }, {0, -1}},
        {"refresh revoke family", "tokens.json", [&] { return id_refresh_token_revoke_family(kRefresh.c_str(), "client_a"); }, {1, 0}},
        {"refresh find", "tokens.json", [&] { return id_refresh_token_find(kRefresh.c_str(), nullptr); }, {1, 0}},
        {"token listing", "tokens.json", [] { return listed(id_refresh_token_list_json()); }, {0, 3, 1}},
        {"token listing of a user", "tokens.json", [] { return listed(id_refresh_token_list_json_scoped("usr_target")); }, {0, 3, 1}},
        {"user listing", "users.json", [] { return listed(id_user_list_json()); }, {0, 3, 1}},
        {"client listing", "clients.json", [] { return listed(id_client_list_json()); }, {0, 3, 1}},
        {"consent listing", "consents.json", [] { return listed(id_consent_list_json()); }, {0, 3, 1}},
        {"audit listing", "audit_log.json", [] { return listed(id_audit_list_json(0)); }, {0, 3, 1}},
        {"key listing", "keys.json", [] { return listed(id_keys_list_json()); }, {0, 3, 1}},
        {"revocation check", "revoked.json", [] { return id_revoke_is_jti("absent"); }, {0, 1}},  // 1: fails closed
        {"revocation added", "revoked.json", [] { return id_revoke_add_jti("new", 4102444800, "usr_1", "client_a"); }, {0, -1}},
    };
    int runs = 0, signalled = 0;
    for (const Op& op : ops) {
        std::set<int> seen;
        for (std::size_t limit = 30; limit <= 80; limit += 5) {
            const Outcome r = run_capped(op, limit);
            ++runs;
            if (!r.exited) ++signalled;
            EXPECT_TRUE(r.exited) << op.name << " at " << limit << " MB: signal " << r.signal;
            if (r.exited) {
                EXPECT_NE(std::find(op.results.begin(), op.results.end(), r.result), op.results.end()) << op.name << " at " << limit << " MB: result " << r.result;
                seen.insert(r.result);
            }
            // The document is the one before, or a whole new one.
            EXPECT_FALSE(tarn::test::file_exists(data.file(std::string(op.file) + ".tmp"))) << op.name;
            if (inode(data.file(op.file)) != inode(pristine + "/" + op.file)) {
                tarn::Document saved;
                EXPECT_TRUE(tarn::parse_json(read_file(data.file(op.file)), saved)) << op.name << " at " << limit;
            }
            restore(op.file);
        }
        // With room enough, each does its work: the documents are what the operations take.
        const Outcome roomy = run_capped(op, kRoomyMB);
        EXPECT_TRUE(roomy.exited && roomy.result == op.results.front()) << op.name << " with room: " << roomy.result;
        restore(op.file);
        std::printf("%-28s results %s\n", op.name, [&] {
            std::string s;
            for (int r : seen) s += std::to_string(r) + " ";
            return s;
        }().c_str());
    }
    EXPECT_EQ(signalled, 0) << "of " << runs << " runs";
}

}  // namespace
