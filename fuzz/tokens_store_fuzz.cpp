// tokens.json: the input is stored as tokens.json of a scratch data directory, with the clock
// standing at kNow, and every token operation runs on it, each from the input again: session
// verify, create, delete and delete by user; code create, consume and exchange with the grant's
// refresh token; refresh token create (with and without the sign-in time), rotate, revoke, revoke
// by user, revoke family and lookup; the listing, whole and for one user; the sweep; the end of a
// user's grants. The operations are aimed at what the input holds (its first session, code,
// exchanged code, active and exchanged token, and their user). Checked against the rules written
// here:
// - every operation returns one of its result codes, and the lookups answer by the reading rules;
// - after every changing operation tokens.json is the input byte for byte, or it parses, and then
//   every root member other than the sections is kept as it was, in order; a section of another
//   type is kept as it was; "sessions", "auth_codes", "refresh" and "deleted_users" keep every
//   record the operation was not meant to remove, in order, with at most the records it adds
//   after them; "rotated" holds exactly the input's exchanged tokens of families that still have
//   an active token (and the one a rotation adds); "exchanged_codes" holds exactly the input's
//   entries that are objects, not expired and of a family that still has an active token (and the
//   one an exchange adds), all of them while "refresh" is not an array; an unparseable input is
//   kept aside byte for byte;
// - a code found only among the exchanged codes, not expired, answers -6 to consume and exchange,
//   which remove exactly its entry and the active tokens of its family;
// - what a success says happened did: the created record is stored (the refresh record of an
//   exchange with the code's user, client, scope and sign-in time), the deleted one is gone.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "fuzz/document_reference.hpp"
#include "fuzz/fuzz_support.hpp"
#include "id_foundation.h"
#include "id_tokens.h"
#include "tokens/grants.hpp"

using namespace tarn::fuzz;
using tarn::Document;
using tarn::Value;

namespace {

constexpr std::int64_t kNow = 1750000000;
std::int64_t fixed_clock() { return kNow; }
std::string g_work, g_dir, g_path;

constexpr std::string_view kSections[] = {"sessions", "auth_codes", "refresh", "rotated", "deleted_users", "exchanged_codes"};

std::string_view str_of(const Value* v) { return v && v->IsString() ? text_of(*v) : std::string_view(); }
std::string_view field(const Value& obj, std::string_view name) {
    return obj.IsObject() ? str_of(first_member(obj, name)) : std::string_view();
}
std::string_view c_text(std::string_view s) { return s.substr(0, s.find('\0')); }
bool presentable(std::string_view s) { return !s.empty() && s.size() <= 1024 && s.find('\0') == std::string_view::npos; }

const Value* section(const Value* root, std::string_view name) {
    return root && root->IsObject() ? first_member(*root, name) : nullptr;
}
bool expired(const Value& record) {
    const Value* at = record.IsObject() ? first_member(record, "expires_at") : nullptr;
    if (!at || !(at->IsInt64() || at->IsUint64())) return true;
    return at->IsInt64() && at->GetInt64() < kNow;
}

bool first_member_is_string(const Value& r, std::string_view name) {
    const Value* v = r.IsObject() ? first_member(r, name) : nullptr;
    return v && v->IsString();
}

std::string stored() {
    std::string out;
    tarn::read_file(g_path.c_str(), out);
    return out;
}

// What one changing operation may do to each section.
struct Allowed {
    std::function<bool(std::string_view, const Value&)> session = [](std::string_view, const Value&) { return false; };
    std::function<bool(std::string_view, const Value&)> code = [](std::string_view, const Value&) { return false; };
    std::function<bool(const Value&)> refresh = [](const Value&) { return false; };
    std::string mark;  // a deletion mark that may be added or renewed
    int new_sessions = 0, new_codes = 0, new_refresh = 0;
    bool sweep = false;   // removes expired records and records that are not objects
    bool shaped = true;   // the missing "sessions", "auth_codes" and "refresh" are added
    std::string exchanged, exchanged_family;  // the exchanged record a successful rotation appends
    std::string code_spent;                   // the exchanged code a successful exchange records...
    std::string code_family;                  // ...with the family of the token it issued
    std::int64_t code_expires_at = 0;         // ...until the code's own expiry
    int reused_code = -1;                     // the index of the exchanged code a refusal (-6) removes
};

// `after` is `before` with some members for which `may_go` holds removed (the rest in order and as
// they were), then at most `added` members; a member named `renewed` may hold another value.
void check_object(const Value* before, const Value* after, bool made, int added,
                  const std::function<bool(std::string_view, const Value&)>& may_go, std::string_view renewed = {}) {
    if (before && !before->IsObject()) {
        FUZZ_CHECK(after && same_value(*before, *after));
        return;
    }
    if (!before && !made) {
        FUZZ_CHECK(!after || (after->IsObject() && static_cast<int>(after->MemberCount()) <= added));
        return;
    }
    FUZZ_CHECK(after && after->IsObject());
    auto out = after->MemberBegin();
    if (before) {
        for (const auto& m : before->GetObject()) {
            const bool kept = out != after->MemberEnd() && text_of(out->name) == text_of(m.name) &&
                              (same_value(out->value, m.value) || (!renewed.empty() && text_of(m.name) == renewed));
            if (kept) ++out;
            else FUZZ_CHECK(may_go(text_of(m.name), m.value));
        }
    }
    FUZZ_CHECK(after->MemberEnd() - out <= added);
}

void check_array(const Value* before, const Value* after, bool made, int added,
                 const std::function<bool(const Value&)>& may_go) {
    if (before && !before->IsArray()) {
        FUZZ_CHECK(after && same_value(*before, *after));
        return;
    }
    if (!before && !made && !after) return;
    FUZZ_CHECK(after && after->IsArray());
    rapidjson::SizeType out = 0;
    if (before) {
        for (const Value& el : before->GetArray()) {
            if (out < after->Size() && same_value((*after)[out], el)) ++out;
            else FUZZ_CHECK(may_go(el));
        }
    }
    FUZZ_CHECK(static_cast<int>(after->Size() - out) <= added);
}

// The family an exchanged record belongs to: its "family", or its token when it has none.
std::string_view family_of(const Value& record) {
    const std::string_view family = field(record, "family");
    return family.empty() ? field(record, "token") : family;
}

// "rotated" after a save: the input's records (and the appended one) whose family still has an
// active token; all of them when either section is unusable.
void check_rotated(const Value* before, const Value* after, const Value* refresh, const Allowed& allowed) {
    if (before && !before->IsArray()) {
        FUZZ_CHECK(after && same_value(*before, *after));
        return;
    }
    std::set<std::string_view> active;
    if (refresh && refresh->IsArray())
        for (const Value& r : refresh->GetArray())
            if (!field(r, "family").empty()) active.insert(field(r, "family"));
    const bool tidied = refresh && refresh->IsArray();
    auto kept = [&](const Value& r) {
        if (!tidied) return true;
        return r.IsObject() && first_member(r, "token") && first_member(r, "token")->IsString() &&
               active.count(family_of(r));
    };
    rapidjson::SizeType out = 0;
    if (before) {
        if (tidied && before->Empty() && allowed.exchanged.empty()) {
            FUZZ_CHECK(after && after->IsArray() && after->Empty());
            return;
        }
        for (const Value& el : before->GetArray()) {
            if (!kept(el)) continue;
            FUZZ_CHECK(after && after->IsArray() && out < after->Size() && same_value((*after)[out], el));
            ++out;
        }
    }
    if (!allowed.exchanged.empty()) {
        FUZZ_CHECK(after && after->IsArray() && out + 1 == after->Size());
        const Value& r = (*after)[out];
        FUZZ_CHECK(field(r, "token") == allowed.exchanged && field(r, "family") == allowed.exchanged_family);
        return;
    }
    if (!after) return;  // never created
    FUZZ_CHECK(after->IsArray() && out == after->Size());
}

// "exchanged_codes" after a save: the input's entries (but the one a refusal removes) that are
// objects, not expired and of a family with an active token, all of them while "refresh" is not
// an array; then the one an exchange adds.
void check_exchanged_codes(const Value* before, const Value* after, const Value* refresh, const Allowed& allowed) {
    if (before && !before->IsObject()) {
        FUZZ_CHECK(after && same_value(*before, *after));
        return;
    }
    std::set<std::string_view> active;
    const bool tidied = refresh && refresh->IsArray();
    if (tidied)
        for (const Value& r : refresh->GetArray())
            if (!field(r, "family").empty()) active.insert(field(r, "family"));
    auto out = after && after->IsObject() ? after->MemberBegin() : Value::ConstMemberIterator();
    if (before) {
        int index = 0;
        for (const auto& m : before->GetObject()) {
            const bool removed = index++ == allowed.reused_code;
            if (removed) continue;
            if (tidied && (!m.value.IsObject() || expired(m.value) || !active.count(field(m.value, "family")))) continue;
            FUZZ_CHECK(after && after->IsObject() && out != after->MemberEnd() && text_of(out->name) == text_of(m.name) &&
                       same_value(out->value, m.value));
            ++out;
        }
    }
    if (!allowed.code_spent.empty()) {
        FUZZ_CHECK(after && after->IsObject() && after->MemberEnd() - out == 1);
        FUZZ_CHECK(text_of(out->name) == allowed.code_spent && out->value.IsObject() && out->value.MemberCount() == 2);
        FUZZ_CHECK(field(out->value, "family") == allowed.code_family);
        const Value* at = first_member(out->value, "expires_at");
        FUZZ_CHECK(at && at->IsInt64() && at->GetInt64() == allowed.code_expires_at);
        return;
    }
    if (!after) return;  // never created
    FUZZ_CHECK(after->IsObject() && out == after->MemberEnd());
}

// The whole file after a changing operation run on `input` (parsed into `before`, or null).
void check_saved(std::string_view input, const Document* before, const Allowed& allowed) {
    const std::string text = stored();
    if (text == input) return;  // nothing changed
    Document after;
    FUZZ_CHECK(tarn::parse_json(text, after));
    FUZZ_CHECK(after.IsObject());
    if (!before) {
        std::string aside;
        FUZZ_CHECK(tarn::read_file((g_path + ".corrupt-" + std::to_string(kNow)).c_str(), aside) == tarn::ReadStatus::ok);
        FUZZ_CHECK(aside == input);
    }
    const Value* root = before && before->IsObject() ? before : nullptr;
    // Every root member but the first of each section's name, in order and as it was.
    auto others = [](const Value* r, std::function<void(const tarn::Value::Member&)> each) {
        if (!r) return;
        std::set<std::string_view> seen;
        for (const auto& m : r->GetObject()) {
            const std::string_view name = text_of(m.name);
            bool is_section = false;
            for (std::string_view s : kSections) is_section |= name == s;
            if (is_section && seen.insert(name).second) continue;
            each(m);
        }
    };
    std::vector<const tarn::Value::Member*> kept_before, kept_after;
    others(root, [&](const tarn::Value::Member& m) { kept_before.push_back(&m); });
    others(&after, [&](const tarn::Value::Member& m) { kept_after.push_back(&m); });
    FUZZ_CHECK(kept_before.size() == kept_after.size());
    for (std::size_t i = 0; i < kept_before.size(); ++i)
        FUZZ_CHECK(text_of(kept_before[i]->name) == text_of(kept_after[i]->name) &&
                   same_value(kept_before[i]->value, kept_after[i]->value));

    auto swept_member = [&](std::string_view, const Value& r) { return allowed.sweep && (!r.IsObject() || expired(r)); };
    check_object(section(root, "sessions"), section(&after, "sessions"), allowed.shaped, allowed.new_sessions,
                 [&](std::string_view n, const Value& r) { return allowed.session(n, r) || swept_member(n, r); });
    check_object(section(root, "auth_codes"), section(&after, "auth_codes"), allowed.shaped, allowed.new_codes,
                 [&](std::string_view n, const Value& r) { return allowed.code(n, r) || swept_member(n, r); });
    check_array(section(root, "refresh"), section(&after, "refresh"), allowed.shaped, allowed.new_refresh, [&](const Value& r) {
        return allowed.refresh(r) || (allowed.sweep && (!first_member_is_string(r, "token") || expired(r)));
    });
    check_object(section(root, "deleted_users"), section(&after, "deleted_users"), false, allowed.mark.empty() ? 0 : 1,
                 swept_member, allowed.mark);
    check_rotated(section(root, "rotated"), section(&after, "rotated"), section(&after, "refresh"), allowed);
    check_exchanged_codes(section(root, "exchanged_codes"), section(&after, "exchanged_codes"), section(&after, "refresh"),
                          allowed);
}

// What the input holds for the operations to aim at: its first session, code, active and
// exchanged token (as C texts: up to a NUL), and a user of its records.
struct Targets {
    std::string session = "sess_none", code = "code_none", token = "rt_none", exchanged = "rt_gone", user = "u1";
    std::string exchanged_code = "code_spent";
    std::string code_client = "c1";
};

Targets targets_of(const Value* root) {
    Targets t;
    if (const Value* s = section(root, "sessions"); s && s->IsObject() && s->MemberCount()) {
        t.session = c_text(text_of(s->MemberBegin()->name));
        if (!field(s->MemberBegin()->value, "user_id").empty()) t.user = c_text(field(s->MemberBegin()->value, "user_id"));
    }
    if (const Value* c = section(root, "auth_codes"); c && c->IsObject() && c->MemberCount()) {
        t.code = c_text(text_of(c->MemberBegin()->name));
        t.code_client = c_text(field(c->MemberBegin()->value, "client_id"));
    }
    if (const Value* r = section(root, "refresh"); r && r->IsArray() && !r->Empty()) {
        if (!field((*r)[0], "token").empty()) t.token = c_text(field((*r)[0], "token"));
        if (!field((*r)[0], "user_id").empty()) t.user = c_text(field((*r)[0], "user_id"));
    }
    if (const Value* x = section(root, "exchanged_codes"); x && x->IsObject() && x->MemberCount())
        t.exchanged_code = c_text(text_of(x->MemberBegin()->name));
    if (const Value* x = section(root, "rotated"); x && x->IsArray() && !x->Empty())
        if (!field((*x)[0], "token").empty()) t.exchanged = c_text(field((*x)[0], "token"));
    return t;
}

// The first element of the array `refresh` that is an object whose "token" is `token`.
const Value* active_of(const Value* refresh, std::string_view token) {
    if (!refresh || !refresh->IsArray()) return nullptr;
    for (const Value& r : refresh->GetArray())
        if (first_member_is_string(r, "token") && field(r, "token") == token) return &r;
    return nullptr;
}

// The family rotation and family revocation find for `token`.
std::string family_for(const Value* root, std::string_view token) {
    if (const Value* a = active_of(section(root, "refresh"), token)) {
        const std::string_view family = field(*a, "family");
        return std::string(family.empty() ? token : family);
    }
    if (const Value* x = section(root, "rotated"); x && x->IsArray())
        for (const Value& r : x->GetArray())
            if (first_member_is_string(r, "token") && field(r, "token") == token)
                return std::string(field(r, "family").empty() ? token : field(r, "family"));
    return std::string(token);
}

// A stored time read as the store reads it: an integer at its full width (unsigned ones above
// INT64_MAX as INT64_MAX), anything else 0.
std::int64_t time_of(const Value& record, std::string_view name) {
    const Value* v = record.IsObject() ? first_member(record, name) : nullptr;
    if (!v) return 0;
    if (v->IsInt64()) return v->GetInt64();
    return v->IsUint64() ? INT64_MAX : 0;
}

// What consume and exchange find for a presented code: the first record of its name in
// "auth_codes"; else, among the exchanged codes, the index and family of the first entry of its
// name when that entry is an object that has not expired.
struct CodeFate {
    const Value* record = nullptr;
    bool codes_usable = false;  // "auth_codes" missing or an object
    int reused = -1;
    std::string family;
};

CodeFate fate_of(const Value* root, std::string_view code) {
    CodeFate f;
    const Value* codes = section(root, "auth_codes");
    f.codes_usable = !codes || codes->IsObject();
    if (!f.codes_usable || !presentable(code)) return f;
    if (codes)
        for (const auto& m : codes->GetObject())
            if (text_of(m.name) == code) {
                f.record = &m.value;
                return f;
            }
    const Value* x = section(root, "exchanged_codes");
    if (!x || !x->IsObject()) return f;
    int index = 0;
    for (const auto& m : x->GetObject()) {
        if (text_of(m.name) == code) {
            if (m.value.IsObject() && !expired(m.value)) {
                f.reused = index;
                f.family = field(m.value, "family");
            }
            return f;
        }
        ++index;
    }
    return f;
}

// The last element of the saved "refresh", which must be the record of `token`.
const Value& last_refresh(const Document& d, std::string_view token) {
    const Value* refresh = section(&d, "refresh");
    FUZZ_CHECK(refresh && refresh->IsArray() && !refresh->Empty());
    const Value& r = (*refresh)[refresh->Size() - 1];
    FUZZ_CHECK(r.IsObject() && field(r, "token") == token && field(r, "family") == token);
    FUZZ_CHECK(time_of(r, "expires_at") == kNow + ID_REFRESH_TOKEN_LIFETIME);
    return r;
}

// The sign-in time a stored refresh record carries: present only when positive.
void check_auth_time(const Value& r, std::int64_t auth_time) {
    const Value* at = first_member(r, "auth_time");
    if (auth_time > 0) FUZZ_CHECK(at && at->IsInt64() && at->GetInt64() == auth_time);
    else FUZZ_CHECK(!at);
}

std::string g_input;
const Document* g_before = nullptr;

// Writes the input as tokens.json again, in an otherwise empty data directory.
void restore() {
    for (const auto& entry : std::filesystem::directory_iterator(g_dir))
        if (entry.path().extension() != ".lock") std::filesystem::remove_all(entry.path());
    write_whole_file(g_path, g_input);
}

Document saved_doc() {
    Document d;
    if (!tarn::parse_json(stored(), d)) d.SetNull();
    return d;
}

void changed_by(int result, std::initializer_list<int> results, const Allowed& allowed) {
    bool known = false;
    for (int r : results) known |= r == result;
    FUZZ_CHECK(known);
    check_saved(g_input, g_before, allowed);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"IDENTITY_PORT", "IDENTITY_ADMIN_SECRET", "IDENTITY_BASE_URL", "HTTP_HOST"})
        ::unsetenv(name);
    g_work = scratch_dir("tokens");
    g_dir = g_work + "/data";
    ::setenv("IDENTITY_DATA_DIR", g_dir.c_str(), 1);
    g_path = g_dir + "/tokens.json";
    tarn::testing::set_clock(fixed_clock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;  // far below the size at which changes also shed expired records
    g_input.assign(reinterpret_cast<const char*>(data), size);
    InDirectory here(g_work);  // no config.json in the working directory
    std::filesystem::remove_all(g_dir);
    id_config cfg;
    id_get_config(&cfg);  // creates the data directory
    Document parsed;
    const bool parses = tarn::parse_json(g_input, parsed);
    g_before = parses ? &parsed : nullptr;
    const Value* root = parses && parsed.IsObject() ? &parsed : nullptr;
    const Targets t = targets_of(root);
    auto of_user = [&t](const Value& r) { return r.IsObject() && first_member_is_string(r, "user_id") && field(r, "user_id") == t.user; };
    char out[64];

    // Reading: the lookups answer by the reading rules, and change nothing.
    restore();
    {
        const Value* sessions = section(root, "sessions");
        const Value* record = nullptr;
        if (sessions && sessions->IsObject())
            for (const auto& m : sessions->GetObject())
                if (text_of(m.name) == t.session) {
                    record = &m.value;
                    break;
                }
        const int expect = presentable(t.session) && record && record->IsObject() && !expired(*record);
        ExactBuffer user(16), name(16);
        FUZZ_CHECK(id_session_verify(t.session.c_str(), user.chars(), user.cap(), name.chars(), name.cap()) == expect);
        id_refresh_token found;
        const Value* active = presentable(t.token) ? active_of(section(root, "refresh"), t.token) : nullptr;
        FUZZ_CHECK(id_refresh_token_find(t.token.c_str(), &found) == (active ? 1 : 0));
        const std::string family = family_for(root, t.token);
        if (active && family.size() < sizeof found.family && family.find('\0') == std::string::npos)
            FUZZ_CHECK(family == found.family);
        // The listing: three arrays of the stored records that are objects.
        for (const char* filter : {static_cast<const char*>(nullptr), t.user.c_str()}) {
            char* text = id_refresh_token_list_json_scoped(filter);
            FUZZ_CHECK(text);
            Document listed;
            FUZZ_CHECK(tarn::parse_json(text, listed) && listed.IsObject() && listed.MemberCount() == 3);
            id_free(text);
            for (const char* name : {"sessions", "refresh", "rotated"}) FUZZ_CHECK(section(&listed, name) && section(&listed, name)->IsArray());
            if (filter) continue;
            std::size_t objects = 0;
            if (const Value* r = section(root, "refresh"); r && r->IsArray())
                for (const Value& el : r->GetArray()) objects += el.IsObject();
            FUZZ_CHECK(section(&listed, "refresh")->Size() == objects);
        }
        FUZZ_CHECK(stored() == g_input);
    }

    // Sessions.
    restore();
    {
        const int r = id_session_create("u_new", "new", out, sizeof out);
        Allowed a;
        a.new_sessions = 1;
        changed_by(r, {0, -1}, a);
        if (r == 0) FUZZ_CHECK(id_session_verify(out, nullptr, 0, nullptr, 0) == 1);
    }
    restore();
    {
        Allowed a;
        a.session = [&t](std::string_view name, const Value&) { return name == t.session; };
        const int r = id_session_delete(t.session.c_str());
        changed_by(r, {0, -1}, a);
        if (r == 0) FUZZ_CHECK(id_session_verify(t.session.c_str(), nullptr, 0, nullptr, 0) == 0);
    }
    restore();
    {
        Allowed a;
        a.session = [&](std::string_view, const Value& r) { return of_user(r); };
        changed_by(id_session_delete_by_user(t.user.c_str()), {0, -1}, a);
    }
    // Codes.
    restore();
    {
        Allowed a;
        a.new_codes = 1;
        changed_by(id_auth_code_create_v("u_new", "new", "c1", "https://a/cb", nullptr, nullptr, nullptr, nullptr, 0, out, sizeof out),
                   {0, -1}, a);
    }
    // Consume and exchange, of the first code and of the first exchanged code.
    for (const std::string& presented : {t.code, t.exchanged_code}) {
        const std::string client = presented == t.code ? t.code_client : std::string("c1");
        const CodeFate fate = fate_of(root, presented);
        const bool asked = presentable(presented) && !client.empty();
        for (const bool with_refresh : {false, true}) {
            restore();
            Allowed a;
            a.code = [&](std::string_view name, const Value&) { return name == presented; };
            id_auth_code code;
            char token[64];
            const int r = with_refresh ? id_auth_code_exchange(presented.c_str(), client.c_str(), nullptr, nullptr, &code,
                                                               token, sizeof token)
                                       : id_auth_code_consume(presented.c_str(), client.c_str(), nullptr, nullptr, &code);
            if (asked && fate.codes_usable && !fate.record && fate.reused >= 0) {
                FUZZ_CHECK(r == -6);
                a.reused_code = fate.reused;
                a.refresh = [&](const Value& el) { return !fate.family.empty() && field(el, "family") == fate.family; };
            } else if (!asked || !fate.record) {
                FUZZ_CHECK(r == -1 && stored() == g_input);  // unknown: nothing changed
            } else {
                FUZZ_CHECK(r != -6);
            }
            if (r == 0 && with_refresh) {
                a.new_refresh = 1;
                a.code_spent = presented;
                a.code_family = token;
                a.code_expires_at = time_of(*fate.record, "expires_at");
            }
            changed_by(r, {0, -1, -2, -3, -4, -5, -6}, a);
            const Document d = saved_doc();
            if (r == -6)
                if (const Value* refresh = section(&d, "refresh"); refresh && refresh->IsArray() && !fate.family.empty())
                    for (const Value& el : refresh->GetArray()) FUZZ_CHECK(field(el, "family") != fate.family);
            if (r != -1 && fate.record) {
                const Value* codes = section(&d, "auth_codes");
                FUZZ_CHECK(codes && codes->IsObject());
                for (const auto& m : codes->GetObject()) FUZZ_CHECK(text_of(m.name) != presented);
            }
            if (r == 0 && with_refresh) {
                // The grant's refresh token: the code's user, client, scope and sign-in time.
                const Value& stored_code = *fate.record;
                const Value& rt = last_refresh(d, token);
                FUZZ_CHECK(!first_member(stored_code, "user_id") == !first_member(rt, "user_id"));
                FUZZ_CHECK(field(rt, "user_id") == field(stored_code, "user_id"));
                FUZZ_CHECK(field(rt, "username") == field(stored_code, "username"));
                FUZZ_CHECK(field(rt, "client_id") == field(stored_code, "client_id"));
                const std::string_view scope = field(stored_code, "scope");
                FUZZ_CHECK(field(rt, "scope") == (scope.empty() ? std::string_view("openid profile") : scope));
                check_auth_time(rt, time_of(stored_code, "auth_time"));
                FUZZ_CHECK(code.auth_time == time_of(stored_code, "auth_time"));
            }
        }
    }
    // Refresh tokens.
    restore();
    {
        Allowed a;
        a.new_refresh = 1;
        const int r = id_refresh_token_create("u_new", "new", "c1", nullptr, out, sizeof out);
        changed_by(r, {0, -1}, a);
        if (r == 0) FUZZ_CHECK(id_refresh_token_find(out, nullptr) == 1);
    }
    restore();
    {
        // With the sign-in time of the first code (or a recent one), which the record and every
        // successor carry.
        std::int64_t auth_time = kNow - 100;
        if (const Value* c = section(root, "auth_codes"); c && c->IsObject() && c->MemberCount())
            auth_time = time_of(c->MemberBegin()->value, "auth_time");
        Allowed a;
        a.new_refresh = 1;
        const int r = id_refresh_token_create_v(t.user.c_str(), "name", "c1", "openid", auth_time, out, sizeof out);
        changed_by(r, {0, -1}, a);
        if (r == 0) {
            check_auth_time(last_refresh(saved_doc(), out), auth_time);
            const std::int64_t expect = auth_time > 0 ? auth_time : 0;
            id_refresh_token found, next;
            FUZZ_CHECK(id_refresh_token_find(out, &found) == 1 && found.auth_time == expect);
            char successor[64];
            FUZZ_CHECK(id_refresh_token_rotate(out, "c1", successor, sizeof successor, &next) == 0);
            FUZZ_CHECK(next.auth_time == expect);
            FUZZ_CHECK(id_refresh_token_find(successor, &found) == 1 && found.auth_time == expect);
        }
    }
    for (const std::string& presented : {t.token, t.exchanged}) {
        restore();
        const std::string family = family_for(root, presented);
        Allowed a;
        a.refresh = [&](const Value& r) {
            return (first_member_is_string(r, "token") && field(r, "token") == presented) ||
                   (!field(r, "family").empty() && field(r, "family") == family);
        };
        a.new_refresh = 1;
        id_refresh_token rec;
        const int r = id_refresh_token_rotate(presented.c_str(), nullptr, out, sizeof out, &rec);
        if (r == 0) {
            a.exchanged = presented;
            a.exchanged_family = family;
        }
        changed_by(r, {0, -1, -2, -3, -4}, a);
        if (r == 0) FUZZ_CHECK(id_refresh_token_find(out, nullptr) == 1 && id_refresh_token_find(presented.c_str(), nullptr) == 0);
        if (r == 0) {  // the successor carries the sign-in time of the token it replaced
            const Value* held = active_of(section(root, "refresh"), presented);
            const std::int64_t auth_time = held ? time_of(*held, "auth_time") : 0;
            FUZZ_CHECK(rec.auth_time == (auth_time > 0 ? auth_time : 0));
        }
        if (r == -4) FUZZ_CHECK(id_refresh_token_find(presented.c_str(), nullptr) == 0);
    }
    restore();
    {
        Allowed a;
        a.refresh = [&t](const Value& r) { return first_member_is_string(r, "token") && field(r, "token") == t.token; };
        changed_by(id_refresh_token_revoke(t.token.c_str()), {0, -1}, a);
    }
    restore();
    {
        Allowed a;
        a.refresh = of_user;
        const int r = id_refresh_token_revoke_by_user(t.user.c_str());
        changed_by(r, {0, -1}, a);
        if (r == 0) {
            const Document d = saved_doc();
            if (const Value* refresh = section(&d, "refresh"); refresh && refresh->IsArray())
                for (const Value& el : refresh->GetArray()) FUZZ_CHECK(!of_user(el));
        }
    }
    for (const std::string& presented : {t.token, t.exchanged}) {
        restore();
        const std::string family = family_for(root, presented);
        Allowed a;
        a.refresh = [&](const Value& r) { return !field(r, "family").empty() && field(r, "family") == family; };
        const int removed = id_refresh_token_revoke_family(presented.c_str(), nullptr);
        FUZZ_CHECK(removed >= 0);
        check_saved(g_input, g_before, a);
    }
    // The sweep and the end of a user's grants.
    restore();
    {
        Allowed a;
        a.sweep = true;
        a.shaped = false;
        id_tokens_swept swept;
        const int r = id_tokens_sweep(&swept);
        changed_by(r, {0, -1}, a);
        if (!parses) FUZZ_CHECK(r == -1 && stored() == g_input);  // an unparseable store is left as it is
    }
    restore();
    {
        Allowed a;
        a.session = [&](std::string_view, const Value& r) { return of_user(r); };
        a.code = a.session;
        a.refresh = of_user;
        a.mark = t.user;
        const int r = tarn::tokens::end_user_grants(t.user, true);
        changed_by(r, {0, -1}, a);
        if (r == 0) FUZZ_CHECK(id_session_create(t.user.c_str(), nullptr, out, sizeof out) == -1);
    }
    return 0;
}
