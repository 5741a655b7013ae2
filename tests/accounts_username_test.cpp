// Usernames are plain text: a new name may not begin or end with a blank, nor hold a control
// character or an invisible formatting character (bidirectional controls, zero-width characters,
// tags), which would let one name pass for another on an admin page or in a log. Letters of any
// script and inner spaces stay welcome; names already stored are read as they are.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "id_accounts.h"
#include "support/accounts.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;
using Username = AccountsTest;

const char* const kBlank = "username must not begin or end with a blank";
const char* const kInvisible = "username must not contain control or formatting characters";

// The UTF-8 form of `c`.
std::string utf8(char32_t c) {
    if (c < 0x80) return std::string(1, static_cast<char>(c));
    const int n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    std::string out(n, '\0');
    for (int i = n - 1; i > 0; --i, c >>= 6) out[i] = static_cast<char>(0x80 | (c & 0x3F));
    out[0] = static_cast<char>((n == 2 ? 0xC0 : n == 3 ? 0xE0 : 0xF0) | c);
    return out;
}

TEST_F(Username, RefusedNamesTellWhyAndStoreNothing) {
    // C0 (tab, line feed, escape), DEL, C1 (NEL among them), the line and paragraph separators, and
    // format characters from every range refused: soft hyphen, Arabic and Mongolian marks, zero
    // width space and joiner, directional marks, embeddings, overrides and isolates, word joiner,
    // byte order mark, interlinear annotation, shorthand format, tags.
    const char32_t unseen[] = {0x01,   0x09,   0x0A,   0x1B,   0x7F,   0x80,   0x85,    0x9F,    0xAD,    0x600,
                               0x61C,  0x180E, 0x200B, 0x200D, 0x200F, 0x2028, 0x2029,  0x202A,  0x202E,  0x2060,
                               0x2067, 0x2069, 0x206F, 0xFEFF, 0xFFF9, 0x1BCA0, 0xE0001, 0xE0061, 0xE007F};
    // Space, no-break space, hair space, ideographic space.
    const char32_t blanks[] = {0x20, 0xA0, 0x200A, 0x3000};
    std::vector<std::pair<std::string, const char*>> rows = {{" ", kBlank}, {"\xe2\x80\xae" "alice", kInvisible}};
    for (char32_t c : unseen) rows.push_back({"ali" + utf8(c) + "ce", kInvisible});
    for (char32_t c : blanks) {
        rows.push_back({utf8(c) + "alice", kBlank});
        rows.push_back({"alice" + utf8(c), kBlank});
    }
    for (const auto& [name, expected] : rows) {
        SCOPED_TRACE(name);
        char msg[128] = "junk";
        EXPECT_EQ(id_user_create_v(name.c_str(), "password1", nullptr, nullptr, 0, msg, sizeof msg), -3);
        EXPECT_STREQ(msg, expected);
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
