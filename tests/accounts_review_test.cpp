// Account and registry stores under hostile input and a careless data directory: texts that end
// inside a UTF-8 character, placed right before memory that cannot be read, and store files that
// are symbolic links to targets that are not there.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "id_accounts.h"
#include "id_audit.h"
#include "id_clients.h"
#include "support/process.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;

// Copies `text` and its NUL to the very end of a readable page that is followed by a page that
// cannot be read, so that reading one byte past the NUL faults. The memory stays mapped for the
// rest of the (child) process.
const char* at_end_of_readable_memory(const std::string& text) {
    const long page = ::sysconf(_SC_PAGESIZE);
    void* map = ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) ::_exit(100);
    char* base = static_cast<char*>(map);
    if (::mprotect(base + page, page, PROT_NONE) != 0) ::_exit(101);
    char* dst = base + page - (text.size() + 1);
    std::memcpy(dst, text.c_str(), text.size() + 1);
    return dst;
}

// A user creation whose username or email ends inside a UTF-8 character is refused as not UTF-8
// (-1). The check reads only the caller's text: it must not read past its NUL.
TEST(AccountInput, TextEndingInsideACharacterIsRefusedWithoutReadingPastIt) {
    DataDirFixture data;
    struct Case {
        const char* what;
        std::string username, email;
        bool email_at_edge;
    } cases[] = {
        {"username ending with the lead byte of a 4-byte character", "bob\xF0", "", false},
        {"username ending with the lead byte of a 3-byte character", "bob\xE2", "", false},
        {"username ending with two bytes of a 4-byte character", "bob\xF0\x9F", "", false},
        {"email ending with the lead byte of a 4-byte character", "carol", "c@x.io\xF0", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Captured run = capture_stdout([&c] {
            const char* username = c.email_at_edge ? c.username.c_str() : at_end_of_readable_memory(c.username);
            const char* email = c.email_at_edge ? at_end_of_readable_memory(c.email) : nullptr;
            const int r = id_user_create_role(username, "password123", email, nullptr, nullptr, 0, nullptr, 0);
            ::_exit(r & 0xFF);
        });
        EXPECT_EQ(run.exit_status, -1 & 0xFF) << "-1 expected; a status of -1 here means the child crashed";
        EXPECT_FALSE(file_exists(data.file("users.json")));
    }
}

// A store file that is a symbolic link whose target is missing (a volume not mounted, a target
// moved by an operator) exists: it is not an empty store. users.json, clients.json and
// audit_log.json that cannot be read are never replaced; treating the link as a missing store
// makes the next sign-up the "owner" of a fresh users.json, and removes the link.
TEST(AccountInput, StoreThatIsADanglingLinkIsNotTreatedAsMissing) {
    struct Case {
        const char* file;
        std::function<int()> change;
    } cases[] = {
        {"users.json",
         [] { return id_user_create_role("mallory", "password123", nullptr, "user", nullptr, 0, nullptr, 0); }},
        {"clients.json",
         [] {
             char id[32], secret[32];
             return id_client_create("App", "https://app/cb", nullptr, id, sizeof id, secret, sizeof secret, 0,
                                     nullptr, 0);
         }},
        {"audit_log.json", [] { return id_audit_record("user.created", nullptr, nullptr, nullptr, nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        DataDirFixture data;
        const std::string link = data.file(c.file);
        const std::string target = data.work() + "/unmounted/" + c.file;
        ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
        EXPECT_EQ(c.change(), -1);
        struct stat st {};
        ASSERT_EQ(::lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a new store";
        if (std::string(c.file) == "users.json") {
            id_user u;
            EXPECT_FALSE(id_user_find_by_username("mallory", &u) && std::string(u.role) == "owner")
                << "the first sign-up after the volume went away owns the provider";
        }
    }
}

}  // namespace
