// Usernames are plain text: a new name may not begin or end with a blank, nor hold a control
// character or an invisible formatting character (bidirectional controls, zero-width characters,
// tags), which would let one name pass for another on an admin page or in a log. Letters of any
// script and inner spaces stay welcome; names already stored are read as they are.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "identity_common.h"
#include "support/accounts.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;
using Username = AccountsTest;

const char* const kBlank = "username must not begin or end with a blank";
const char* const kInvisible = "username must not contain control or formatting characters";

TEST_F(Username, RefusedNamesTellWhyAndStoreNothing) {
    const struct {
        const char* what;
        std::string name;
        const char* msg;
    } rows[] = {
        {"leading space", " alice", kBlank},
        {"trailing space", "alice ", kBlank},
        {"only a space", " ", kBlank},
        {"leading no-break space", "\xc2\xa0" "alice", kBlank},
        {"trailing ideographic space", "alice\xe3\x80\x80", kBlank},
        {"trailing hair space", "alice\xe2\x80\x8a", kBlank},
        {"tab", "\talice", kInvisible},
        {"line feed", "ali\nce", kInvisible},
        {"C0 control", "ali\x01" "ce", kInvisible},
        {"escape", "ali\x1b[31mce", kInvisible},
        {"DEL", "ali\x7f" "ce", kInvisible},
        {"C1 control U+0080", "ali\xc2\x80" "ce", kInvisible},
        {"next line U+0085", "ali\xc2\x85" "ce", kInvisible},
        {"C1 control U+009F", "ali\xc2\x9f" "ce", kInvisible},
        {"soft hyphen U+00AD", "ali\xc2\xad" "ce", kInvisible},
        {"Arabic number sign U+0600", "\xd8\x80" "alice", kInvisible},
        {"Arabic letter mark U+061C", "ali\xd8\x9c" "ce", kInvisible},
        {"Mongolian vowel separator U+180E", "ali\xe1\xa0\x8e" "ce", kInvisible},
        {"zero width space U+200B", "ali\xe2\x80\x8b" "ce", kInvisible},
        {"zero width joiner U+200D", "ali\xe2\x80\x8d" "ce", kInvisible},
        {"right-to-left mark U+200F", "ali\xe2\x80\x8f" "ce", kInvisible},
        {"line separator U+2028", "ali\xe2\x80\xa8" "ce", kInvisible},
        {"paragraph separator U+2029", "ali\xe2\x80\xa9" "ce", kInvisible},
        {"left-to-right embedding U+202A", "\xe2\x80\xaa" "alice", kInvisible},
        {"right-to-left override U+202E", "alice\xe2\x80\xae" "gpj.exe", kInvisible},
        {"word joiner U+2060", "ali\xe2\x81\xa0" "ce", kInvisible},
        {"right-to-left isolate U+2067", "ali\xe2\x81\xa7" "ce", kInvisible},
        {"pop directional isolate U+2069", "alice\xe2\x81\xa9", kInvisible},
        {"nominal digit shapes U+206F", "ali\xe2\x81\xaf" "ce", kInvisible},
        {"byte order mark U+FEFF", "\xef\xbb\xbf" "alice", kInvisible},
        {"interlinear annotation U+FFF9", "ali\xef\xbf\xb9" "ce", kInvisible},
        {"shorthand format U+1BCA0", "ali\xf0\x9b\xb2\xa0" "ce", kInvisible},
        {"language tag U+E0001", "alice\xf3\xa0\x80\x81", kInvisible},
        {"tag letter U+E0061", "alice\xf3\xa0\x81\xa1", kInvisible},
        {"cancel tag U+E007F", "alice\xf3\xa0\x81\xbf", kInvisible},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        char msg[128] = "junk";
        EXPECT_EQ(id_user_create_v(row.name.c_str(), "password1", nullptr, nullptr, 0, msg, sizeof msg), -3);
        EXPECT_STREQ(msg, row.msg);
        EXPECT_FALSE(file_exists(data.file("users.json")));
    }
    // The rule runs right after the length limit, before the email and password checks.
    char msg[128];
    EXPECT_EQ(id_user_create_v((" " + std::string(64, 'n')).c_str(), "short", "bad", nullptr, 0, msg, sizeof msg), -3);
    EXPECT_STREQ(msg, "username too long (max 64)");
    EXPECT_EQ(id_user_create_v("carol ", "short", "bad", nullptr, 0, msg, sizeof msg), -3);
    EXPECT_STREQ(msg, kBlank);
}

TEST_F(Username, LettersOfAnyScriptAndInnerSpacesAreAccepted) {
    const std::vector<std::string> accepted = {
        "zo\xc3\xab",                            // Zoë
        "\xc3\x85" "dne",                        // Ådne: 0x85 as the second byte of a letter is no NEL
        "Jos\xc3\xa9 Mar\xc3\xad" "a",           // an inner space
        "a\xc2\xa0" "b",                         // an inner no-break space
        "\xe6\x9d\x8e\xe5\xb0\x8f\xe9\xbe\x8d",  // 李小龍
        "\xd8\xb9\xd9\x84\xd9\x8a",              // علي, right to left by its letters alone
        "Stra\xc3\x9f" "e",
        "bob\xf0\x9f\x98\x80",                   // an emoji
        "caf\xc3\xa9\xe2\x80\xa7" "1",           // U+2027, the neighbour of the line separator
        "x\xef\xbf\xbc" "y",                      // U+FFFC, the neighbour of the annotation marks
    };
    for (const std::string& name : accepted) {
        SCOPED_TRACE(name);
        char msg[128] = "junk";
        ASSERT_EQ(id_user_create_v(name.c_str(), "password1", nullptr, nullptr, 0, msg, sizeof msg), 0) << msg;
        EXPECT_STREQ(msg, "");
        id_user u{};
        ASSERT_EQ(id_user_find_by_username(name.c_str(), &u), 1);
        EXPECT_EQ(std::string(u.username), name);
    }
}

TEST_F(Username, StoredNamesAreReadAsTheyAre) {
    const std::string odd = " bob\\u202e\\u0085";  // as JSON escapes in users.json
    write_file(data.file("users.json"), crafted({{odd, "user"}}));
    id_user u{};
    ASSERT_EQ(id_user_find_by_username(" bob\xe2\x80\xae\xc2\x85", &u), 1);
    EXPECT_STREQ(u.username, " bob\xe2\x80\xae\xc2\x85");
    EXPECT_EQ(id_user_find_by_username_ci(" BOB\xe2\x80\xae\xc2\x85", nullptr), 1);
}

}  // namespace
