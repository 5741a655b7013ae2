// Reading a file without its lock while another process creates it: the open that finds nothing
// and the check of what stands at the name are two steps, and the creator's rename may fall
// between them. Such a reader must see the file missing or see the file, never an unreadable one
// (secret.key would refuse a valid HS256 token, users.json would refuse a new account, and an
// unreadable revoked.json reads every identifier as revoked).
//
// Each case is first staged exactly, between real processes: the reader's open of the file
// fails, and only then does a second process create it; then the same race runs unstaged, many
// rounds, each in a fresh data directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "id_accounts.h"
#include "id_jwt.h"
#include "id_tokens.h"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::DataDirFixture;
using tarn::test::read_file;

// ---- the staged interleaving ----

// In the reader's process: the first open of the watched file that fails with ENOENT reports
// over `notify` and waits on `resume` before it returns (with that failure).
std::string g_watched;
int g_notify = -1;
int g_resume = -1;
bool g_staged = false;

int held_open(const char* path, int flags, mode_t mode) {
    const int fd = tarn::system_io().open(path, flags, mode);
    if (fd < 0 && errno == ENOENT && !g_staged && std::string_view(path).ends_with("/" + g_watched)) {
        g_staged = true;
        char c = 'n';
        if (::write(g_notify, &c, 1) != 1) std::_Exit(120);
        while (::read(g_resume, &c, 1) < 0) {
        }  // end of file: the creator is done
        errno = ENOENT;
    }
    return fd;
}

int exit_status(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t fork_running(const std::function<int()>& fn) {
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) ::_exit(fn() & 0xFF);
    return pid;
}

struct Staged {
    int reader;   // the reader's exit status
    int creator;  // the creator's
    bool held;    // the reader's open did find the file missing
};

// Runs `reader` in one process; when its open of `file` has failed for want of the file,
// `creator` runs to completion in another, and then the reader goes on.
Staged stage(const std::string& file, const std::function<int()>& reader, const std::function<int()>& creator) {
    int notify[2], resume[2];
    if (::pipe(notify) != 0 || ::pipe(resume) != 0) throw std::runtime_error("pipe");
    const pid_t r = fork_running([&] {
        ::close(notify[0]);
        ::close(resume[1]);
        g_watched = file;
        g_notify = notify[1];
        g_resume = resume[0];
        tarn::io_ops().open = &held_open;
        return reader();
    });
    ::close(notify[1]);
    ::close(resume[0]);
    Staged s{-1, -1, false};
    char c;
    s.held = ::read(notify[0], &c, 1) == 1;  // end of file: the reader finished without it
    if (s.held) s.creator = exit_status(fork_running(creator));
    ::close(resume[1]);
    s.reader = exit_status(r);
    ::close(notify[0]);
    return s;
}

// The secret handed out is the one on disk: 0, or 1 when the call failed, 2 when it differs.
int secret_matches_disk(const std::string& path) {
    unsigned char out[32];
    if (id_get_secret_key(out) != 0) return 1;
    return read_file(path) == std::string(reinterpret_cast<const char*>(out), 32) ? 0 : 2;
}

constexpr const char* kPassword = "correct horse battery staple 9";

TEST(FirstUseRace, AReaderWhoseOpenMissedTheCreationSeesTheNewFile) {
    DataDirFixture data;
    struct Case {
        const char* name;
        const char* file;
        std::function<int()> reader;
        std::function<int()> creator;
        int reader_status;
        std::function<void()> check;  // of the data directory afterwards
    };
    const std::string secret_path = data.file("secret.key");
    const std::vector<Case> cases = {
        {"secret.key: the first caller's secret", "secret.key", [&] { return secret_matches_disk(secret_path); },
         [&] { return secret_matches_disk(secret_path); }, 0,
         [&] { EXPECT_EQ(read_file(secret_path).size(), 32u); }},
        {"users.json: a first account beside another", "users.json",
         [] { return id_user_create("alice", kPassword, nullptr, nullptr, 0); },
         [] { return id_user_create("bob", kPassword, nullptr, nullptr, 0); }, 0,
         [] {
             id_user u;
             EXPECT_EQ(id_user_find_by_username("alice", &u), 1);
             EXPECT_EQ(id_user_find_by_username("bob", &u), 1);
         }},
        {"revoked.json: an identifier nobody revoked", "revoked.json", [] { return id_revoke_is_jti("never"); },
         [] { return id_revoke_add_jti("other", 4102444800, "usr_1", "client_1"); }, 0,
         [] { EXPECT_EQ(id_revoke_is_jti("other"), 1); }},
        {"the document loader: tokens.json", "tokens.json",
         [] {
             tarn::Document doc;
             return static_cast<int>(tarn::load_document("tokens.json", doc));
         },
         [] {
             char id[64];
             return id_session_create("usr_1", "alice", id, sizeof id);
         },
         static_cast<int>(tarn::LoadStatus::loaded), [] {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(data.dir());
        std::filesystem::create_directory(data.dir());
        const Staged s = stage(c.file, c.reader, c.creator);
        ASSERT_TRUE(s.held) << "the reader never found the file missing";
        EXPECT_EQ(s.creator, 0);
        EXPECT_EQ(s.reader, c.reader_status);
        c.check();
    }
}

// ---- the same races, unstaged ----

void fresh(const DataDirFixture& data) {
    std::filesystem::remove_all(data.dir());
    std::filesystem::create_directory(data.dir());
}

TEST(FirstUseRace, EightProcessesTakingTheFirstSecretAllGetTheOneOnDisk) {
    DataDirFixture data;
    const std::string path = data.file("secret.key");
    const std::string work = data.work();
    constexpr int kRounds = 300;
    int failed = 0;
    for (int round = 0; round < kRounds; ++round) {
        fresh(data);
        const std::vector<int> statuses = tarn::test::run_together(8, [&](int i) {
            unsigned char out[32];
            if (id_get_secret_key(out) != 0) return 1;
            tarn::test::write_file(work + "/got-" + std::to_string(i), std::string(reinterpret_cast<const char*>(out), 32));
            return 0;
        });
        const std::string on_disk = read_file(path);
        ASSERT_EQ(on_disk.size(), 32u) << "round " << round;
        for (int i = 0; i < 8; ++i) {
            const bool ok = statuses[static_cast<std::size_t>(i)] == 0 &&
                            read_file(work + "/got-" + std::to_string(i)) == on_disk;
            if (!ok) ++failed;
            EXPECT_TRUE(ok) << "round " << round << ", process " << i;
        }
    }
    EXPECT_EQ(failed, 0) << "of " << kRounds * 8 << " calls";
}

// Readers that look again and again while one process makes the first copy of a document: every
// look finds no document, or the new one, never an unreadable one.
TEST(FirstUseRace, ReadersWatchingTheFirstCopyOfADocumentNeverFindItUnreadable) {
    DataDirFixture data;
    struct Case {
        const char* file;
        std::function<int()> create;  // 0 when done
        std::function<int()> look;    // 0 seen missing or whole, else what went wrong
    };
    char id[64];
    const std::vector<Case> cases = {
        {"revoked.json", [] { return id_revoke_add_jti("first", 4102444800, "", ""); },
         [] { return id_revoke_is_jti("never"); }},
        {"tokens.json", [&id] { return id_session_create("usr_1", "alice", id, sizeof id); },
         [] {
             tarn::Document doc;
             const tarn::LoadStatus status = tarn::load_document("tokens.json", doc);
             return status == tarn::LoadStatus::loaded || status == tarn::LoadStatus::missing ? 0 : 2;
         }},
    };
    constexpr int kRounds = 100;
    for (const Case& c : cases) {
        const std::string path = data.file(c.file);
        for (int round = 0; round < kRounds && !::testing::Test::HasFailure(); ++round) {
            fresh(data);
            const std::vector<int> statuses = tarn::test::run_together(6, [&](int i) {
                if (i == 0) return c.create() == 0 ? 0 : 1;
                for (;;) {  // until a look that started after the document was in place
                    const bool existed = tarn::test::file_exists(path);
                    if (const int bad = c.look(); bad != 0) return 2 + bad;
                    if (existed) return 0;
                }
            });
            for (std::size_t i = 0; i < statuses.size(); ++i)
                EXPECT_EQ(statuses[i], 0) << c.file << ", round " << round << ", process " << i;
        }
    }
}

}  // namespace
