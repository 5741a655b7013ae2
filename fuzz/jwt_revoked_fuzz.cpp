// revoked.json: the input is stored as revoked.json of a scratch data directory, with the clock
// standing at kNow. Checked against the revocation rules written here:
// - a list that does not parse reads every identifier as revoked; a missing one, or one whose
//   root is not an object, none;
// - otherwise an identifier is revoked when its first member holds an object whose "exp" is
//   missing, not an integer, 0, or not before kNow (a token is accepted in its "exp" second);
//   identifiers the list does not name are not;
// - an add keeps, in their order and as they were, exactly the members that still revoke (but
//   every one of the identifier added), appends the new entry last, and sets an unparseable list
//   aside as revoked.json.corrupt-<kNow> holding the input byte for byte; afterwards the list
//   reads as the rules say for the saved document.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "fuzz/document_reference.hpp"
#include "fuzz/fuzz_support.hpp"
#include "id_foundation.h"
#include "id_jwt.h"

using namespace tarn::fuzz;

namespace {

constexpr std::int64_t kNow = 1700000000;
constexpr std::string_view kAdded = "fuzz-added";
constexpr std::int64_t kAddedExp = kNow + 60;

std::int64_t fixed_clock() { return kNow; }

bool is_integer(const tarn::Value& v) { return v.IsInt64() || v.IsUint64(); }

// Whether an entry revokes its identifier at kNow.
bool revokes(const tarn::Value& entry) {
    if (!entry.IsObject()) return false;
    const tarn::Value* exp = first_member(entry, "exp");
    if (!exp || !is_integer(*exp)) return true;
    if (exp->IsUint64() && !exp->IsInt64()) return true;  // beyond every clock
    return exp->GetInt64() == 0 || exp->GetInt64() >= kNow;
}

// What the check must answer for `jti` (a C text: up to its first NUL) in a parsed list.
int expected(const tarn::Value& root, std::string_view jti) {
    if (jti.empty() || !root.IsObject()) return 0;
    const tarn::Value* entry = first_member(root, jti);
    return entry && revokes(*entry) ? 1 : 0;
}

int check(std::string_view jti) { return id_revoke_is_jti(std::string(jti).c_str()); }

std::string_view c_text(std::string_view s) { return s.substr(0, s.find('\0')); }

// Every identifier the list names answers by the rules, and some it does not name answer 0.
void check_answers(const tarn::Value& root) {
    std::set<std::string_view> asked;
    if (root.IsObject()) {
        for (const auto& m : root.GetObject()) {
            const std::string_view jti = c_text(text_of(m.name));
            if (!asked.insert(jti).second || asked.size() > 64) continue;
            FUZZ_CHECK(check(jti) == expected(root, jti));
        }
    }
    for (std::string_view other : {"never-listed", "exp", "sub"})
        if (!asked.count(other)) FUZZ_CHECK(check(other) == expected(root, other));
    FUZZ_CHECK(id_revoke_is_jti("") == 0 && id_revoke_is_jti(nullptr) == 0);
}

std::string g_work;
std::string g_data;
std::string g_path;

std::string stored() {
    std::string text;
    FUZZ_CHECK(tarn::read_file(g_path.c_str(), text) == tarn::ReadStatus::ok);
    return text;
}

// The saved list: the kept members of `before` as they were, then the new entry.
void check_saved(const tarn::Value* before) {
    tarn::Document saved;
    FUZZ_CHECK(tarn::parse_json(stored(), saved));
    FUZZ_CHECK(saved.IsObject());
    auto it = saved.MemberBegin();
    if (before && before->IsObject()) {
        for (const auto& m : before->GetObject()) {
            if (text_of(m.name) == kAdded || !revokes(m.value)) continue;
            FUZZ_CHECK(it != saved.MemberEnd());
            FUZZ_CHECK(text_of(it->name) == text_of(m.name) && same_value(it->value, m.value));
            ++it;
        }
    }
    FUZZ_CHECK(it != saved.MemberEnd() && text_of(it->name) == kAdded);
    const tarn::Value& e = it->value;
    FUZZ_CHECK(e.IsObject() && e.MemberCount() == 3);
    FUZZ_CHECK(e.MemberBegin()->value.IsInt64() && e.MemberBegin()->value.GetInt64() == kAddedExp);
    FUZZ_CHECK(text_of((e.MemberBegin() + 1)->name) == "sub" && text_of((e.MemberBegin() + 1)->value) == "usr_1");
    FUZZ_CHECK(text_of((e.MemberBegin() + 2)->name) == "client_id" && text_of((e.MemberBegin() + 2)->value) == "");
    FUZZ_CHECK(++it == saved.MemberEnd());
    check_answers(saved);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"IDENTITY_PORT", "IDENTITY_ADMIN_SECRET", "IDENTITY_BASE_URL", "HTTP_HOST"})
        ::unsetenv(name);
    g_work = scratch_dir("revoked");
    g_data = g_work + "/data";
    ::setenv("IDENTITY_DATA_DIR", g_data.c_str(), 1);
    g_path = g_data + "/revoked.json";
    tarn::testing::set_clock(fixed_clock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    InDirectory here(g_work);  // no config.json in the working directory
    std::filesystem::remove_all(g_data);
    id_config cfg;
    id_get_config(&cfg);  // creates the data directory
    write_whole_file(g_path, text);

    tarn::Document before;
    const bool parses = tarn::parse_json(text, before);
    if (parses) {
        check_answers(before);
    } else {
        // Fails closed: nothing can be told apart in a list that cannot be read.
        for (std::string_view jti : {"never-listed", "a", "exp"}) FUZZ_CHECK(check(jti) == 1);
    }

    FUZZ_CHECK(id_revoke_add_jti(std::string(kAdded).c_str(), kAddedExp, "usr_1", nullptr) == 0);
    const std::string aside = g_path + ".corrupt-" + std::to_string(kNow);
    if (parses) {
        FUZZ_CHECK(!std::filesystem::exists(aside));
    } else {
        std::string kept;
        FUZZ_CHECK(tarn::read_file(aside.c_str(), kept) == tarn::ReadStatus::ok && kept == text);
    }
    check_saved(parses ? &before : nullptr);
    return 0;
}
