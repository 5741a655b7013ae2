// The stored documents of sign-in protection, consents and the audit trail, and scope lists. The
// input is a selector byte (the store), a capacity byte, then the document text and three texts
// (A, B, C) separated by NUL bytes. The clock stands still; every store operation is checked
// against a reference written from the rules:
// - login_attempts.json: id_login_allowed and its message in a buffer of exactly that capacity;
//   after id_login_failed(A), the whole file (every other member as it was, A's record last, with
//   count, strikes and lock by the ladder), an unparseable file kept aside, and nothing written
//   when the record name is not UTF-8;
// - login_attempts_ip.json: id_login_ip_over_budget and id_login_ip_retry_after for A; after a
//   failure of A, the whole file (the entries of the window and the new one);
// - consents.json: id_consent_covers(A, B, C) and id_consent_list_json; id_scope_intersect(C, B);
//   after id_consent_set(A, B, C) a record within 255 bytes stamped now;
// - audit_log.json: id_audit_count and id_audit_list_json with the capacity byte as the limit;
//   what id_audit_record(A) does to the log (the log is never lost).
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

#include "core/clock.hpp"
#include "core/document.hpp"
#include "core/fileio.hpp"
#include "fuzz/document_reference.hpp"
#include "fuzz/fuzz_support.hpp"
#include "identity_common.h"

using namespace tarn::fuzz;
using tarn::Document;
using tarn::Value;

namespace {

constexpr std::int64_t kNow = 1750000000;
std::int64_t fixed_clock() { return kNow; }
std::string g_work;  // the working directory of every input: no config.json there
std::string g_dir;   // the data directory in it

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

void attempts(std::string_view text, bool valid, Document& doc, const std::string& account, std::size_t cap) {
    // Every spelling shares the record under the folded name; a record under the exact spelling
    // still counts for it: its lock holds, and a failure climbs from it while no folded one exists.
    const std::string folded = record_name(account, true), exact = record_name(account, false);
    const Value* f = valid && doc.IsObject() ? first_member(doc, folded) : nullptr;
    const Value* e = valid && doc.IsObject() && exact != folded ? first_member(doc, exact) : nullptr;
    auto field = [](const Value* r, const char* m) { return r && r->IsObject() ? int_of(first_member(*r, m)) : 0; };
    const std::int64_t lock = std::max(field(f, "locked_until"), field(e, "locked_until"));
    const Value* r = f || !e ? f : e;
    std::int32_t count = clamp32(field(r, "count")), strikes = clamp32(field(r, "strikes"));
    std::int64_t locked = field(r, "locked_until"), last = field(r, "last_ts");

    ExactBuffer msg(cap);
    const bool refused = !account.empty() && lock > kNow;
    FUZZ_CHECK(id_login_allowed(account.c_str(), nullptr, msg.chars(), cap) == (refused ? 0 : 1));
    const std::string full = "Account temporarily locked after repeated failures. Try again in " +
                             std::to_string(std::min<std::int64_t>(lock - kNow, 900)) + " s.";
    if (cap) FUZZ_CHECK(std::string(msg.chars()) == (refused ? full.substr(0, cap - 1) : ""));
    if (account.empty()) return;

    id_login_failed(account.c_str(), nullptr);
    count = count == INT32_MAX ? count : count + 1;
    if (last != 0 && static_cast<__int128>(kNow) - last > 600) {
        strikes = 1;
        locked = 0;
    } else {
        strikes = strikes == INT32_MAX ? strikes : strikes + 1;
        if (strikes > 2 && locked <= kNow) locked = kNow + (strikes - 3 >= 5 ? 900 : std::min(900, 30 << (strikes - 3)));
    }
    Document want;
    if (valid && doc.IsObject()) want.CopyFrom(doc, want.GetAllocator()); else want.SetObject();
    auto erase_all = [&want](const std::string& name) {
        while (want.EraseMember(rapidjson::StringRef(name.data(), static_cast<rapidjson::SizeType>(name.size())))) {}
    };
    erase_all(folded);
    if (r == e && e) erase_all(exact);
    Value v(rapidjson::kObjectType);
    auto& a = want.GetAllocator();
    v.AddMember("count", count, a).AddMember("strikes", strikes, a).AddMember("locked_until", locked, a);
    v.AddMember("last_ts", kNow, a);
    want.AddMember(Value(folded.data(), static_cast<rapidjson::SizeType>(folded.size()), a), v, a);
    check_replaced("login_attempts.json", text, valid, want);
}

void addresses(std::string_view text, bool valid, Document& doc, const std::string& ip) {
    if (!valid || !doc.IsArray()) doc.SetArray();  // no entries
    int n = 0;
    std::int64_t oldest = INT64_MAX;
    for (const Value& e : doc.GetArray()) {
        if (!e.IsObject() || !first_member(e, "ts") || str_of(first_member(e, "ip")) != ip) continue;
        const std::int64_t ts = int_of(first_member(e, "ts"));
        if (ts > kNow - 600) ++n, oldest = std::min(oldest, ts);
    }
    const std::int64_t wait = std::clamp<__int128>(static_cast<__int128>(oldest) + 600 - kNow, 1, 600);
    FUZZ_CHECK(id_login_ip_over_budget(ip.c_str()) == (!ip.empty() && n >= 20));
    FUZZ_CHECK(id_login_ip_retry_after(ip.c_str()) == (!ip.empty() && n >= 20 ? wait : 0));
    if (ip.empty()) return;

    id_login_failed(nullptr, ip.c_str());
    Document want(rapidjson::kArrayType);
    auto& a = want.GetAllocator();
    for (const Value& e : doc.GetArray())
        if (e.IsObject() && first_member(e, "ts") && int_of(first_member(e, "ts")) > kNow - 600)
            want.PushBack(Value(e, a), a);
    Value entry(rapidjson::kObjectType);
    entry.AddMember("ts", kNow, a).AddMember("ip", Value(ip.data(), static_cast<rapidjson::SizeType>(ip.size()), a), a);
    want.PushBack(entry, a);
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
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const int store = in.byte() % 4;
    const std::uint8_t cap = in.byte();
    const std::string_view text = in.until('\0');
    const std::string a(in.until('\0')), b(in.until('\0')), c(in.until('\0'));

    InDirectory here(g_work);
    std::filesystem::remove_all(g_dir);
    std::filesystem::create_directory(g_dir);
    static const char* const kStores[] = {"login_attempts.json", "login_attempts_ip.json", "consents.json", "audit_log.json"};
    write_whole_file(file(kStores[store]), text);
    Document doc;
    const bool valid = tarn::parse_json(text, doc);
    switch (store) {
        case 0: attempts(text, valid, doc, a, cap); break;
        case 1: addresses(text, valid, doc, a); break;
        case 2: consents(valid, doc, a, b, c, cap); break;
        default: audit(text, valid, doc, a, static_cast<std::int8_t>(cap)); break;
    }
    return 0;
}
