// The stored documents of sign-in protection, consents and the audit trail, and scope lists. The
// input is a selector byte (the store), a capacity byte, then the document text and three texts
// (A, B, C) separated by NUL bytes. The clock stands still; every store operation is checked
// against a reference written from the rules:
// - login_attempts.json: id_login_allowed and its message in a buffer of exactly that capacity;
//   after id_login_failed(A), the whole file (every other member as it was, A's record under its
//   folded name last, with count, strikes and lock by the ladder, climbing from the exact
//   spelling's record while no folded one exists, keeping other processes' live markers), an
//   unparseable file kept aside, nothing written when the record name is not UTF-8, and nothing
//   at all when the record holds a live marker of this process (the failure was counted);
// - login_attempts_ip.json: id_login_ip_over_budget and id_login_ip_retry_after for A; after a
//   failure of A, the whole file (the entries of the window and the new one), unless this process
//   began an attempt of A still in the window;
// - id_login_begin(A, B) over login_attempts.json (the document) and login_attempts_ip.json (C):
//   its result, its message, both whole files (the budget, then the account's lock, each refusing
//   with nothing written; the entry with this process's "pid"; the record with this process's
//   marker), then the report: a failure when the capacity is even (nothing changes, one line is
//   logged for an account), a success when odd (every spelling's record and the entry go);
// - consents.json: id_consent_covers(A, B, C) and id_consent_list_json; id_scope_intersect(C, B);
//   after id_consent_set(A, B, C) a record within 255 bytes stamped now;
// - audit_log.json: id_audit_count and id_audit_list_json with the capacity byte as the limit;
//   what id_audit_record(A) does to the log (the log is never lost).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "fuzz/document_reference.hpp"
#include "fuzz/fuzz_support.hpp"
#include "id_audit.h"
#include "id_consent.h"
#include "id_foundation.h"
#include "id_signin.h"

using namespace tarn::fuzz;
using tarn::Document;
using tarn::Value;

namespace {

constexpr std::int64_t kNow = 1750000000;
std::int64_t fixed_clock() { return kNow; }
std::string g_work;  // the working directory of every input: no config.json there
std::string g_dir;   // the data directory in it
std::int64_t g_me;   // this process: the "pid" of the attempts it begins

std::string file(const std::string& name) { return g_dir + "/" + name; }
std::string stored(const std::string& name) {
    std::string out;
    tarn::read_file(file(name).c_str(), out);
    return out;
}
std::string take(char* text) {
    FUZZ_CHECK(text != nullptr);
    std::string out(text);
    id_free(text);
    return out;
}

std::int64_t int_of(const Value* v) { return !v ? 0 : v->IsInt64() ? v->GetInt64() : v->IsUint64() ? INT64_MAX : 0; }
std::int32_t clamp32(std::int64_t v) { return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX)); }
std::string_view str_of(const Value* v) { return v && v->IsString() ? text_of(*v) : std::string_view(); }

std::vector<std::string_view> scope_names(std::string_view list) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= list.size(); ++i) {
        if (i < list.size() && list[i] != ' ' && list[i] != '\t' && list[i] != ',') continue;
        if (i > start) out.push_back(list.substr(start, i - start));
        start = i + 1;
    }
    return out;
}
bool has(const std::vector<std::string_view>& v, std::string_view s) { return std::find(v.begin(), v.end(), s) != v.end(); }

// The pretty text the store must leave, or "" when `doc` cannot be written (text not UTF-8).
std::string pretty(const Value& doc) {
    std::string out;
    return tarn::write_json(doc, true, out) ? out : std::string();
}

void check_replaced(const std::string& name, std::string_view before, bool valid, const Value& expected) {
    const std::string want = pretty(expected);
    FUZZ_CHECK(stored(name) == (want.empty() ? std::string(before) : want));
    if (!valid && !want.empty()) FUZZ_CHECK(stored(name + ".corrupt-" + std::to_string(kNow)) == before);
}

// "acc_" and the account name, its ASCII letters folded to lower case when `fold`, within 511 bytes
// and never cut inside a UTF-8 character.
std::string record_name(const std::string& account, bool fold) {
    std::string rec = "acc_" + account;
    if (fold) for (char& c : rec) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    if (rec.size() > 511) {
        std::size_t n = 511;
        while (n > 4 && (static_cast<unsigned char>(rec[n]) & 0xC0) == 0x80) --n;
        rec.resize(n);
    }
    return rec;
}

bool same_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto low = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (low(a[i]) != low(b[i])) return false;
    }
    return true;
}

// What login_attempts.json says of one account name: every spelling shares the record under the
// folded name; a record under the exact spelling still counts for that spelling: its lock holds,
// and a failure climbs from it while no folded one exists.
struct Ladder {
    std::int32_t count = 0, strikes = 0;
    std::int64_t locked = 0, last = 0;
};
std::int64_t field(const Value* r, const char* m) { return r && r->IsObject() ? int_of(first_member(*r, m)) : 0; }
Ladder ladder_of(const Value* r) {
    return {clamp32(field(r, "count")), clamp32(field(r, "strikes")), field(r, "locked_until"), field(r, "last_ts")};
}
struct Spoken {
    std::string folded, exact;
    const Value* f = nullptr;  // the folded record
    const Value* e = nullptr;  // the exact spelling's, when that is another name
    const Value* base() const { return f || !e ? f : e; }
    std::int64_t lock() const { return std::max(field(f, "locked_until"), field(e, "locked_until")); }
};
Spoken spoken(const Document* doc, const std::string& account) {
    Spoken s{record_name(account, true), record_name(account, false)};
    if (!doc) return s;
    s.f = first_member(*doc, s.folded);
    if (s.exact != s.folded) s.e = first_member(*doc, s.exact);
    return s;
}

// One failure at kNow, by the ladder.
Ladder climb(Ladder l) {
    l.count = l.count == INT32_MAX ? l.count : l.count + 1;
    if (l.last != 0 && static_cast<__int128>(kNow) - l.last > 600) {
        l.strikes = 1;
        l.locked = 0;
    } else {
        l.strikes = l.strikes == INT32_MAX ? l.strikes : l.strikes + 1;
        if (l.strikes > 2 && l.locked <= kNow) l.locked = kNow + (l.strikes - 3 >= 5 ? 900 : std::min(900, 30 << (l.strikes - 3)));
    }
    l.last = kNow;
    return l;
}

// A begun attempt's marker counts while it is an object whose "ts" is after kNow - 600.
bool live(const Value& m) { return m.IsObject() && first_member(m, "ts") && int_of(first_member(m, "ts")) > kNow - 600; }
// This process's live marker in record `r`, or nullptr.
const Value* mine(const Value* r) {
    const Value* p = r && r->IsObject() ? first_member(*r, "pending") : nullptr;
    if (!p || !p->IsArray()) return nullptr;
    for (const Value& m : p->GetArray())
        if (live(m) && int_of(first_member(m, "pid")) == g_me) return &m;
    return nullptr;
}

// `before` (nullptr: none) with the account's failure written: the folded record, and the exact
// spelling's when the failure climbed from it, removed; the new record last, keeping the live
// markers of other processes, and this process's marker of the attempt when `begun`.
void write_failure(Document& want, const Document* before, const Spoken& s, const std::string& address, bool begun) {
    if (before) want.CopyFrom(*before, want.GetAllocator()); else want.SetObject();
    auto& a = want.GetAllocator();
    const Ladder l = climb(ladder_of(s.base()));
    Value pending(rapidjson::kArrayType);
    const Value* p = s.base() && s.base()->IsObject() ? first_member(*s.base(), "pending") : nullptr;
    if (p && p->IsArray())
        for (const Value& m : p->GetArray())
            if (live(m) && int_of(first_member(m, "pid")) != g_me) pending.PushBack(Value(m, a), a);
    if (begun) {
        Value m(rapidjson::kObjectType);
        m.AddMember("pid", g_me, a).AddMember("ts", kNow, a).AddMember("count", l.count, a).AddMember("strikes", l.strikes, a);
        m.AddMember("locked_until", l.locked, a).AddMember("ip", Value(address.data(), static_cast<rapidjson::SizeType>(address.size()), a), a);
        pending.PushBack(m, a);
    }
    auto erase_all = [&want](const std::string& name) {
        while (want.EraseMember(rapidjson::StringRef(name.data(), static_cast<rapidjson::SizeType>(name.size())))) {}
    };
    const bool from_exact = s.base() && s.base() == s.e;
    erase_all(s.folded);
    if (from_exact) erase_all(s.exact);
    Value v(rapidjson::kObjectType);
    v.AddMember("count", l.count, a).AddMember("strikes", l.strikes, a).AddMember("locked_until", l.locked, a);
    v.AddMember("last_ts", kNow, a);
    if (!pending.Empty()) v.AddMember("pending", pending, a);
    want.AddMember(Value(s.folded.data(), static_cast<rapidjson::SizeType>(s.folded.size()), a), v, a);
}

// The failures of `ip` in the window, and the oldest of them.
struct Count {
    int n = 0;
    std::int64_t oldest = INT64_MAX;
    std::int64_t wait() const { return std::clamp<__int128>(static_cast<__int128>(oldest) + 600 - kNow, 1, 600); }
};
Count count_of(const Value& entries, const std::string& ip) {
    Count c;
    for (const Value& e : entries.GetArray()) {
        if (!e.IsObject() || !first_member(e, "ts") || str_of(first_member(e, "ip")) != ip) continue;
        const std::int64_t ts = int_of(first_member(e, "ts"));
        if (ts > kNow - 600) ++c.n, c.oldest = std::min(c.oldest, ts);
    }
    return c;
}
// The entries of the window, then {"ts": kNow, "ip"} (and this process's "pid" when `begun`).
void add_entry(Document& want, const Value& entries, const std::string& ip, bool begun) {
    want.SetArray();
    auto& a = want.GetAllocator();
    for (const Value& e : entries.GetArray())
        if (e.IsObject() && first_member(e, "ts") && int_of(first_member(e, "ts")) > kNow - 600) want.PushBack(Value(e, a), a);
    Value entry(rapidjson::kObjectType);
    entry.AddMember("ts", kNow, a).AddMember("ip", Value(ip.data(), static_cast<rapidjson::SizeType>(ip.size()), a), a);
    if (begun) entry.AddMember("pid", g_me, a);
    want.PushBack(entry, a);
}
// True when this process began an attempt of `ip` still in the window.
bool begun_here(const Value& entries, const std::string& ip) {
    for (const Value& e : entries.GetArray())
        if (e.IsObject() && first_member(e, "ts") && int_of(first_member(e, "ts")) > kNow - 600 &&
            str_of(first_member(e, "ip")) == ip && int_of(first_member(e, "pid")) == g_me)
            return true;
    return false;
}

std::string lock_message(std::int64_t lock) {
    return "Account temporarily locked after repeated failures. Try again in " +
           std::to_string(std::min<std::int64_t>(lock - kNow, 900)) + " s.";
}

void attempts(std::string_view text, bool valid, Document& doc, const std::string& account, std::size_t cap) {
    const Document* before = valid && doc.IsObject() ? &doc : nullptr;
    const Spoken s = spoken(before, account);

    ExactBuffer msg(cap);
    const bool refused = !account.empty() && s.lock() > kNow;
    FUZZ_CHECK(id_login_allowed(account.c_str(), nullptr, msg.chars(), cap) == (refused ? 0 : 1));
    if (cap) FUZZ_CHECK(std::string(msg.chars()) == (refused ? lock_message(s.lock()).substr(0, cap - 1) : ""));
    if (account.empty()) return;

    id_login_failed(account.c_str(), nullptr);
    if (mine(s.f)) {  // the report of an attempt this process began: counted already
        FUZZ_CHECK(stored("login_attempts.json") == text);
        return;
    }
    Document want;
    write_failure(want, before, s, "", false);
    check_replaced("login_attempts.json", text, valid, want);
}

// Checks `name` holds `want` (nullptr: its old text `before`), and that an unparseable old text
// was kept aside exactly when it was replaced.
void check_file(const std::string& name, std::string_view before, bool valid, const Value* want) {
    const std::string text = want ? pretty(*want) : std::string(before);
    FUZZ_CHECK(!text.empty() || before.empty());
    FUZZ_CHECK(stored(name) == text);
    const std::string aside = file(name + ".corrupt-" + std::to_string(kNow));
    FUZZ_CHECK(std::filesystem::exists(aside) == (want && !valid));
    if (want && !valid) FUZZ_CHECK(stored(name + ".corrupt-" + std::to_string(kNow)) == before);
}

std::size_t log_lines() {
    const std::string log = stored("server.log");
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
}

// id_login_begin(A, B) over login_attempts.json (the document) and login_attempts_ip.json (C),
// then this process's report: a failure when the capacity is even, a success when it is odd.
void begin(std::string_view att_text, bool att_valid, Document& att, const std::string& account,
           const std::string& address, std::string_view ip_text, std::size_t cap) {
    write_whole_file(file("login_attempts_ip.json"), ip_text);
    Document ip;
    const bool ip_valid = tarn::parse_json(ip_text, ip);
    const Value no_entries(rapidjson::kArrayType);
    const Value& entries = ip_valid && ip.IsArray() ? static_cast<const Value&>(ip) : no_entries;
    const Document* before = att_valid && att.IsObject() ? &att : nullptr;
    const Spoken s = spoken(before, account);

    // What begin must do, step by step.
    int expect = 1;
    std::string expect_msg;
    Document want_ip, want_att;
    bool ip_changed = false, att_changed = false;
    const Count c = count_of(entries, address);
    if (!account.empty() && s.lock() > kNow) {
        expect = 0, expect_msg = lock_message(s.lock());
    } else if (!address.empty() && c.n >= 20) {
        expect = 0, expect_msg = "Too many failed sign-ins from this address. Try again in " + std::to_string(c.wait()) + " s.";
    } else {
        if (!address.empty()) {
            add_entry(want_ip, entries, address, true);
            ip_changed = !pretty(want_ip).empty();
            if (!ip_changed) expect = -1;
        }
        if (expect == 1 && !account.empty()) {
            write_failure(want_att, before, s, address, true);
            att_changed = !pretty(want_att).empty();
            if (!att_changed) expect = -1;
        }
        if (expect == -1) expect_msg = "Sign-in is temporarily unavailable. Try again later.";
    }

    ExactBuffer msg(cap);
    FUZZ_CHECK(id_login_begin(account.c_str(), address.c_str(), msg.chars(), cap) == expect);
    if (cap) FUZZ_CHECK(std::string(msg.chars()) == expect_msg.substr(0, cap - 1));
    check_file("login_attempts.json", att_text, att_valid, att_changed ? &want_att : nullptr);
    check_file("login_attempts_ip.json", ip_text, ip_valid, ip_changed ? &want_ip : nullptr);
    if (expect != 1) return;

    const std::string att_now = stored("login_attempts.json"), ip_now = stored("login_attempts_ip.json");
    const std::size_t lines = log_lines();
    if (cap % 2 == 0) {
        // The attempt was counted: the report changes nothing and logs one line for an account.
        id_login_failed(account.c_str(), address.c_str());
        FUZZ_CHECK(stored("login_attempts.json") == att_now && stored("login_attempts_ip.json") == ip_now);
        FUZZ_CHECK(log_lines() == lines + (account.empty() ? 0 : 1));
        return;
    }
    // A success takes the attempt back: every spelling's record goes, and the address's entry.
    id_login_success(account.c_str());
    if (account.empty()) {
        FUZZ_CHECK(stored("login_attempts.json") == att_now && stored("login_attempts_ip.json") == ip_now);
        return;
    }
    Document* records = &want_att;
    const std::string folded = record_name(account, true);
    for (auto m = records->MemberBegin(); m != records->MemberEnd();) {
        const std::string_view key = text_of(m->name);
        if (key.substr(0, 4) == "acc_" && same_ignoring_ascii_case(key, folded)) m = records->EraseMember(m); else ++m;
    }
    FUZZ_CHECK(stored("login_attempts.json") == pretty(*records));
    if (address.empty()) {
        FUZZ_CHECK(stored("login_attempts_ip.json") == ip_now);
        return;
    }
    want_ip.Erase(want_ip.End() - 1);  // this attempt's entry, the last
    FUZZ_CHECK(stored("login_attempts_ip.json") == pretty(want_ip));
}

void addresses(std::string_view text, bool valid, Document& doc, const std::string& ip) {
    if (!valid || !doc.IsArray()) doc.SetArray();  // no entries
    const Count c = count_of(doc, ip);
    FUZZ_CHECK(id_login_ip_over_budget(ip.c_str()) == (!ip.empty() && c.n >= 20));
    FUZZ_CHECK(id_login_ip_retry_after(ip.c_str()) == (!ip.empty() && c.n >= 20 ? c.wait() : 0));
    if (ip.empty()) return;

    id_login_failed(nullptr, ip.c_str());
    if (begun_here(doc, ip)) {  // the report of an attempt this process began: counted already
        FUZZ_CHECK(stored("login_attempts_ip.json") == text);
        return;
    }
    Document want;
    add_entry(want, doc, ip, false);
    check_replaced("login_attempts_ip.json", text, valid, want);
}

void consents(bool valid, Document& doc, const std::string& user, const std::string& client, const std::string& request,
              std::size_t cap) {
    const Value* u = valid && doc.IsObject() ? first_member(doc, user) : nullptr;
    const Value* r = u && u->IsObject() ? first_member(*u, client) : nullptr;
    bool covered = !user.empty() && !client.empty() && r && r->IsObject();
    std::string_view granted = r && r->IsObject() ? str_of(first_member(*r, "scopes")) : "";
    const auto granted_names = scope_names(granted.substr(0, granted.find('\0')));
    for (std::string_view n : scope_names(request)) covered = covered && n.size() <= 255 && has(granted_names, n);
    FUZZ_CHECK(id_consent_covers(user.c_str(), client.c_str(), request.c_str()) == covered);

    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    w.StartArray();
    if (!valid || !doc.IsObject()) doc.SetObject();  // no consents
    for (const auto& um : doc.GetObject()) {
        if (!um.value.IsObject()) continue;
        for (const auto& cm : um.value.GetObject()) {
            if (!cm.value.IsObject()) continue;
            const std::string_view s = str_of(first_member(cm.value, "scopes"));
            w.StartObject();
            w.Key("user_id"), w.String(um.name.GetString(), um.name.GetStringLength());
            w.Key("client_id"), w.String(cm.name.GetString(), cm.name.GetStringLength());
            w.Key("scopes"), w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
            w.Key("granted"), w.Int64(int_of(first_member(cm.value, "granted")));
            w.EndObject();
        }
    }
    w.EndArray();
    FUZZ_CHECK(take(id_consent_list_json()) == std::string(buf.GetString(), buf.GetSize()));

    const std::string allowed_list = client.empty() ? "openid profile email" : client;
    const std::vector<std::string_view> allowed = scope_names(allowed_list);
    std::string want;
    for (std::string_view n : scope_names(request)) {
        if (n.size() > 255 || !has(allowed, n) || has(scope_names(want), n)) continue;
        if ((want.empty() ? 0 : want.size() + 1) + n.size() + 1 > cap) break;
        want += (want.empty() ? "" : " ") + std::string(n);
    }
    ExactBuffer out(cap);
    id_scope_intersect(request.c_str(), client.empty() ? nullptr : client.c_str(), out.chars(), cap);
    if (cap) FUZZ_CHECK(std::string(out.chars()) == want);

    if (id_consent_set(user.c_str(), client.c_str(), request.c_str()) != 0) return;
    Document after;
    FUZZ_CHECK(tarn::parse_json(stored("consents.json"), after) && after.IsObject());
    const Value* saved = first_member(*first_member(after, user), client);
    FUZZ_CHECK(str_of(first_member(*saved, "scopes")).size() <= 255 && int_of(first_member(*saved, "granted")) == kNow);
    FUZZ_CHECK(id_consent_covers(user.c_str(), client.c_str(), "") == 1);
}

void audit(std::string_view text, bool valid, Document& doc, const std::string& event, int limit) {
    const bool log = valid && doc.IsArray();
    const rapidjson::SizeType n = log ? doc.Size() : 0;
    FUZZ_CHECK(id_audit_count() == static_cast<int>(n));
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    w.StartArray();
    for (rapidjson::SizeType i = 0; i < std::min<rapidjson::SizeType>(n, limit <= 0 ? 200 : limit); ++i) {
        const Value& e = doc[n - 1 - i];
        if (!e.IsObject()) continue;
        w.StartObject();
        w.Key("ts"), w.Int64(int_of(first_member(e, "ts")));
        for (const char* m : {"event", "user_id", "username", "ip", "detail"}) {
            const Value* v = first_member(e, m);
            const std::string_view s = v && v->IsString() ? text_of(*v) : std::strcmp(m, "ip") == 0 ? "?" : "";
            w.Key(m), w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
        }
        w.EndObject();
    }
    w.EndArray();
    FUZZ_CHECK(take(id_audit_list_json(limit)) == std::string(buf.GetString(), buf.GetSize()));

    const int result = id_audit_record(event.c_str(), nullptr, event.c_str(), nullptr, event.c_str());
    FUZZ_CHECK(result == (!event.empty() && log ? 0 : -1));
    if (result != 0) FUZZ_CHECK(stored("audit_log.json") == text);
    if (result == 0) FUZZ_CHECK(id_audit_count() == static_cast<int>(std::min<rapidjson::SizeType>(n + 1, 2000)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_work = scratch_dir("signin");
    g_dir = g_work + "/data";
    ::setenv("IDENTITY_DATA_DIR", g_dir.c_str(), 1);
    tarn::testing::set_clock(&fixed_clock);
    g_me = ::getpid();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const int store = in.byte() % 5;
    const std::uint8_t cap = in.byte();
    const std::string_view text = in.until('\0');
    const std::string a(in.until('\0')), b(in.until('\0')), c(in.until('\0'));

    InDirectory here(g_work);
    std::filesystem::remove_all(g_dir);
    std::filesystem::create_directory(g_dir);
    static const char* const kStores[] = {"login_attempts.json", "login_attempts_ip.json", "consents.json", "audit_log.json",
                                          "login_attempts.json"};
    write_whole_file(file(kStores[store]), text);
    Document doc;
    const bool valid = tarn::parse_json(text, doc);
    switch (store) {
        case 0: attempts(text, valid, doc, a, cap); break;
        case 1: addresses(text, valid, doc, a); break;
        case 2: consents(valid, doc, a, b, c, cap); break;
        case 4: begin(text, valid, doc, a, b, c, cap); break;
        case 3: audit(text, valid, doc, a, static_cast<std::int8_t>(cap)); break;
    }
    return 0;
}
