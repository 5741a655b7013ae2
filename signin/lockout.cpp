// login_attempts.json: per-account sign-in failures and the lockout they earn. A run is a series
// of failures each at most 600 s after the one before; from its third strike on, a strike that
// finds no lock in force locks the account for 30 s, doubled per strike, at most 900 s.
//
// An attempt begun before its password is checked (id_login_begin) is counted as a failure at
// once, under the store's lock, so that attempts made at the same moment see each other; the
// record then also holds a marker of the attempt in "pending": the process that began it, when,
// and the record as it left it. The process's report finds its marker: a failure counts nothing
// more (and is logged with the marker's figures), a success removes the record as ever. The
// report does not remove the marker, so that a failure costs no second save; markers go when the
// record is next rewritten, once they are 600 s old or when their process begins again.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/ascii.hpp"
#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/json_edit.hpp"
#include "foundation/json_read.hpp"
#include "id_foundation.h"
#include "id_signin.h"
#include "signin/signin.hpp"
#include "tarn_cgi.h"

namespace tarn {
namespace {

constexpr std::string_view kAttemptsFile = "login_attempts.json";
constexpr std::string_view kRecordPrefix = "acc_";
constexpr std::size_t kRecordNameCap = 512;  // "acc_" and the account name, with a NUL
constexpr std::int64_t kRunWindow = 600;     // the longest gap within a run
constexpr std::int32_t kFreeStrikes = 2;     // strikes of a run that do not lock
constexpr std::int64_t kFirstLock = 30;      // seconds, at the first locking strike
constexpr std::int64_t kMaxLock = 900;       // the longest lock, and the longest wait reported
constexpr std::uintmax_t kShedAbove = 1 << 20;  // bytes of the store past which stale records go
constexpr const char* kPending = "pending";     // the record's markers of begun attempts
constexpr const char* kUnavailable = "Sign-in is temporarily unavailable. Try again later.";

bool given(const char* s) { return s && *s; }

struct Attempts {
    std::int32_t count = 0;    // failures since the last successful sign-in
    std::int32_t strikes = 0;  // failures in the current run
    std::int64_t locked_until = 0;
    std::int64_t last_ts = 0;  // the latest failure; 0: none
};

std::int32_t int32_clamped(std::int64_t v) {
    if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(v);
}

std::int32_t plus_one(std::int32_t v) { return v == std::numeric_limits<std::int32_t>::max() ? v : v + 1; }

// A record's member name: "acc_" and the account name, folded to ASCII lower case when `fold`,
// cut to 511 bytes at a UTF-8 character boundary (a name cut inside a character could never be
// saved).
std::string record_name(std::string_view account, bool fold) {
    std::string name(kRecordPrefix);
    for (char c : account) name.push_back(fold ? static_cast<char>(ascii::lower(static_cast<unsigned char>(c))) : c);
    if (name.size() > kRecordNameCap - 1) {
        std::size_t len = kRecordNameCap - 1;
        while (len > kRecordPrefix.size() && (static_cast<unsigned char>(name[len]) & 0xC0) == 0x80) --len;
        name.resize(len);
    }
    return name;
}

// The records that speak for an account. Sign-in finds a user whatever the case of the ASCII
// letters of its name, so every spelling is one account with one record, under the folded name.
// A record stored under the exact spelling (before names were folded) still counts for that
// spelling: its lock holds, and until the folded record exists its strikes are where the next
// failure climbs from.
struct RecordNames {
    explicit RecordNames(std::string_view account)
        : folded(record_name(account, true)), exact(record_name(account, false)) {}
    bool has_exact() const { return exact != folded; }
    std::string folded;
    std::string exact;
};

Attempts read_record(const Value& record) {
    if (!record.IsObject()) return {};
    return {int32_clamped(json::int_or_zero(record, "count")), int32_clamped(json::int_or_zero(record, "strikes")),
            json::int_or_zero(record, "locked_until"), json::int_or_zero(record, "last_ts")};
}

// The record named `name` in a parsed login_attempts.json; all zero when there is none.
Attempts id_load_account_attempts(const Value& root, std::string_view name) {
    const Value* record = json::member(root, name);
    return record ? read_record(*record) : Attempts{};
}

// Until when the account is locked for this spelling: the later end of its two records' locks.
std::int64_t lock_end(const Value& root, const RecordNames& names) {
    const std::int64_t folded = id_load_account_attempts(root, names.folded).locked_until;
    return names.has_exact() ? std::max(folded, id_load_account_attempts(root, names.exact).locked_until) : folded;
}

// The record a failure climbs from (nullptr: none), and whether it is the exact spelling's, which
// the failure then replaces by the folded one.
struct Base {
    const Value* record = nullptr;
    bool from_exact = false;
    Attempts attempts() const { return record ? read_record(*record) : Attempts{}; }
};
Base failure_base(const Value& root, const RecordNames& names) {
    if (const Value* folded = json::member(root, names.folded)) return {folded, false};
    const Value* exact = names.has_exact() ? json::member(root, names.exact) : nullptr;
    return {exact, exact != nullptr};
}

// A marker of a begun attempt counts while its "ts" is within a run's gap of now: a sign-in takes
// seconds, so an older one belongs to a process that will not report any more.
bool marker_live(const Value& marker, std::int64_t now) {
    const Value* ts = json::member(marker, "ts");  // nullptr for a non-object too
    return ts && json::int_value(ts) > now - kRunWindow;
}

// The live marker of the attempt `process` began, in `record` (which may be nullptr); nullptr
// when there is none. Process identifiers are positive, so a marker without one never matches.
const Value* own_marker(const Value* record, std::int64_t process, std::int64_t now) {
    const Value* pending = record ? json::member(*record, kPending) : nullptr;
    if (!pending || !pending->IsArray()) return nullptr;
    for (const Value& m : pending->GetArray())
        if (marker_live(m, now) && json::int_or_zero(m, "pid") == process) return &m;
    return nullptr;
}

// The markers a rewritten record keeps, copied into `doc`: the live ones of other processes.
Value kept_markers(const Base& base, std::int64_t process, std::int64_t now, Document& doc) {
    Value kept(rapidjson::kArrayType);
    const Value* pending = base.record ? json::member(*base.record, kPending) : nullptr;
    if (!pending || !pending->IsArray()) return kept;
    for (const Value& m : pending->GetArray())
        if (marker_live(m, now) && json::int_or_zero(m, "pid") != process)
            kept.PushBack(Value(m, doc.GetAllocator()), doc.GetAllocator());
    return kept;
}

// The marker of an attempt `process` began at `now`, which left the record as `rec`.
Value marker(std::int64_t process, std::int64_t now, const Attempts& rec, std::string_view address, Document& doc) {
    auto& a = doc.GetAllocator();
    Value m(rapidjson::kObjectType);
    m.AddMember("pid", Value(process), a);
    m.AddMember("ts", Value(now), a);
    m.AddMember("count", Value(rec.count), a);
    m.AddMember("strikes", Value(rec.strikes), a);
    m.AddMember("locked_until", Value(rec.locked_until), a);
    m.AddMember("ip", json::copy(address, doc), a);
    return m;
}

// The previous failure is more than a run's gap before `now`.
bool run_over(const Attempts& a, std::int64_t now) {
    std::int64_t gap;
    return a.last_ts != 0 && (__builtin_sub_overflow(now, a.last_ts, &gap) || gap > kRunWindow);
}

// The lock a strike earns: 30 s doubled for every strike past the third, at most 900 s.
std::int64_t lock_length(std::int32_t strikes) {
    std::int64_t seconds = kFirstLock;
    for (std::int32_t s = kFreeStrikes + 1; s < strikes && seconds < kMaxLock; ++s) seconds *= 2;
    return seconds < kMaxLock ? seconds : kMaxLock;
}

Attempts after_failure(Attempts a, std::int64_t now) {
    a.count = plus_one(a.count);
    if (run_over(a, now)) {
        a.strikes = 1;
        a.locked_until = 0;
    } else {
        a.strikes = plus_one(a.strikes);
        // A strike while a lock is in force counts but does not extend the lock. A lock is in
        // force while locked_until is after now, as for id_login_allowed: in the second it ends,
        // sign-in is allowed, and a failure then must lock again (were that second still "in
        // force" here, every guess made in it would go through unpunished).
        if (a.strikes > kFreeStrikes && a.locked_until <= now) a.locked_until = now + lock_length(a.strikes);
    }
    a.last_ts = now;
    return a;
}

// A record that can no longer change a decision: no lock in force and its run is over (or it is
// not a record at all, which reads as none).
bool cannot_matter(const Value& record, std::int64_t now) {
    if (!record.IsObject()) return true;
    Attempts a;
    a.locked_until = json::int_or_zero(record, "locked_until");
    a.last_ts = json::int_or_zero(record, "last_ts");
    return a.locked_until <= now && run_over(a, now);
}

std::uintmax_t stored_size() {
    struct stat st {};
    return ::stat(data_path(kAttemptsFile).c_str(), &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
}

// For each member of `obj`, whether an earlier member has the same name: one pass over a flat
// open-addressing table of member indexes (no allocation per name).
std::vector<bool> repeated_names(const Value& obj) {
    const std::size_t n = obj.MemberCount();
    std::size_t size = 16;
    while (size < 2 * n) size *= 2;
    constexpr std::uint32_t kFree = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> slots(size, kFree);
    std::vector<bool> repeated(n);
    const auto members = obj.MemberBegin();
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::string_view key = json::text(members[i].name);
        std::size_t at = std::hash<std::string_view>{}(key) & (size - 1);
        while (slots[at] != kFree && json::text(members[slots[at]].name) != key) at = (at + 1) & (size - 1);
        if (slots[at] == kFree) {
            slots[at] = i;
        } else {
            repeated[i] = true;
        }
    }
    return repeated;
}

// Which members go at a failure: every record of the failing account's folded name (it is
// written anew), the exact spelling's records when the failure climbed from them, and when the
// store has grown past 1 MiB the records that cannot matter any more, together with every later
// duplicate of a record name (only the first of a name is ever read, so dropping the first must
// not bring a later one to light).
std::vector<bool> members_to_drop(const Value& root, const RecordNames& names, bool drop_exact, bool shed,
                                  std::int64_t now) {
    std::vector<bool> drop = shed ? repeated_names(root) : std::vector<bool>(root.MemberCount());
    std::size_t i = 0;
    for (const auto& m : root.GetObject()) {
        const std::string_view key = json::text(m.name);
        if (key == names.folded || (drop_exact && key == names.exact)) {
            drop[i] = true;
        } else if (!key.starts_with(kRecordPrefix)) {
            drop[i] = false;  // not a record: never shed
        } else if (shed && !drop[i]) {
            drop[i] = cannot_matter(m.value, now);
        }
        ++i;
    }
    return drop;
}

// Writes the account's record anew, last in the store: `rec`, and `pending` when it holds
// markers. The records members_to_drop names go first.
void put_record(Document& doc, const RecordNames& names, const Base& base, const Attempts& rec, Value pending,
                std::int64_t now) {
    const std::vector<bool> drop = members_to_drop(doc, names, base.from_exact, stored_size() > kShedAbove, now);
    std::size_t i = 0;
    json::erase_members_if(doc, [&](const Value&, const Value&) { return drop[i++]; });
    auto& a = doc.GetAllocator();
    Value record(rapidjson::kObjectType);
    record.AddMember("count", Value(rec.count), a);
    record.AddMember("strikes", Value(rec.strikes), a);
    record.AddMember("locked_until", Value(rec.locked_until), a);
    record.AddMember("last_ts", Value(rec.last_ts), a);
    if (!pending.Empty()) record.AddMember(json::ref(kPending), pending, a);
    doc.AddMember(json::copy(names.folded, doc), record, a);
}

void log_failure(const char* account, const Attempts& rec, std::int64_t at, const char* address) {
    id_log_line("SECURITY: failed login for '%s' (attempt=%d strikes=%d)%s ip=%s", account, rec.count, rec.strikes,
                rec.locked_until > at ? " -> LOCKOUT" : "", address ? address : "?");
}

struct Reported {
    bool lock_had = false;         // the store's lock was had (else nothing is recorded at all)
    bool address_counted = false;  // the attempt was begun with this address, counted there too
};

// Reports a failed sign-in of `account` at `now`. An attempt this process began is counted
// already: nothing changes, and the line is logged with the figures it was counted with.
// Otherwise the failure is recorded, and logged once saved.
Reported report_account_failure(const char* account, const char* address, std::int64_t now) {
    const RecordNames names(account);
    const std::int64_t me = signin::this_process();
    Attempts rec;
    std::int64_t at = now;
    bool begun = false, same_address = false;
    ChangeFailure failure;
    const int result = change_document(kAttemptsFile, ID_LOCK_RETRIES, Unreadable::set_aside, [&](Document& doc, bool) {
        if (!doc.IsObject()) doc.SetObject();
        if (const Value* m = own_marker(json::member(doc, names.folded), me, now)) {
            begun = true;
            rec = read_record(*m);
            at = json::int_or_zero(*m, "ts");
            same_address = json::str_is(*m, "ip", address ? address : "");
            return Outcome::unchanged();
        }
        const Base base = failure_base(doc, names);
        rec = after_failure(base.attempts(), now);
        put_record(doc, names, base, rec, kept_markers(base, me, now, doc), now);
        return Outcome::saved();
    }, &failure);
    if (result == 0) log_failure(account, rec, at, address);
    return {failure != ChangeFailure::lock, begun && same_address};
}

// Reports the failure against the account, then against the address; the address's failures in
// its window afterwards, or -1 when they were not recorded here.
int login_failed(const char* account, const char* address) {
    const std::int64_t now = now_seconds();
    Reported reported;
    if (given(account)) {
        reported = report_account_failure(account, address, now);
        if (!reported.lock_had) return -1;
    }
    if (!given(address) || reported.address_counted) return -1;
    return signin::record_address_failure(address, now, signin::this_process());
}

void lock_message(char* msg, std::size_t cap, std::int64_t locked_until, std::int64_t now) {
    if (!msg || !cap) return;
    std::int64_t left;
    if (__builtin_sub_overflow(locked_until, now, &left) || left > kMaxLock) left = kMaxLock;
    std::snprintf(msg, cap, "Account temporarily locked after repeated failures. Try again in %d s.",
                  static_cast<int>(left));
}

// Until when the account is locked for this spelling, as the store reads without its lock; 0
// when it cannot be read.
std::int64_t stored_lock_end(const char* account) {
    Document doc;
    if (load_document(kAttemptsFile, doc) != LoadStatus::loaded) return 0;
    return lock_end(doc, RecordNames(account));
}

int login_allowed(const char* account, char* msg, std::size_t cap) {
    const std::int64_t now = now_seconds();
    if (msg && cap) msg[0] = '\0';
    if (!given(account)) return 1;
    const std::int64_t locked_until = stored_lock_end(account);
    if (locked_until <= now) return 1;
    lock_message(msg, cap, locked_until, now);
    return 0;
}

// Counts an attempt of `account` that this process begins at `now`, unless the account is
// locked: 1 counted (with its marker); 0 locked, `*locked_until` saying until when; -1 when the
// store cannot be used. `snapshot`, the store as begin read it without the lock, spares a second
// parse when nothing changed since.
int claim_account(const DocFile& file, Snapshot& snapshot, const RecordNames& names, const char* address,
                  std::int64_t now, std::int64_t* locked_until) {
    const std::int64_t me = signin::this_process();
    return change_document(file, snapshot, ID_LOCK_RETRIES, Unreadable::set_aside, [&](Document& doc, bool) {
        if (!doc.IsObject()) doc.SetObject();
        *locked_until = lock_end(doc, names);
        if (*locked_until > now) return Outcome::unchanged(0);
        const Base base = failure_base(doc, names);
        const Attempts rec = after_failure(base.attempts(), now);
        Value pending = kept_markers(base, me, now, doc);
        pending.PushBack(marker(me, now, rec, address ? address : "", doc), doc.GetAllocator());
        put_record(doc, names, base, rec, std::move(pending), now);
        return Outcome::saved(1);
    });
}

// The address first, then the account, one lock at a time: an attempt the address may not make
// is refused before any account is charged with it; one the account's lock refuses is taken back
// from the address. One refused because login_attempts.json could not be used stays counted
// against the address: a flood that keeps that store's lock busy then meets the budget, which
// refuses without touching it. A lock in force is also seen without the lock, so that an attacker
// who keeps trying a locked account is refused for the price of one read.
int login_begin(const char* account, const char* address, char* msg, std::size_t cap) {
    const std::int64_t now = now_seconds();
    if (msg && cap) msg[0] = '\0';
    const auto refuse = [&](int result, const char* text) {
        if (msg && cap) tarn_strlcpy(msg, text, cap);
        return result;
    };
    const DocFile file(kAttemptsFile);
    Snapshot snapshot;
    std::optional<RecordNames> names;
    if (given(account)) {
        names.emplace(account);
        const std::int64_t locked_until =
            load_snapshot(file, snapshot) == LoadStatus::loaded ? lock_end(snapshot.doc, *names) : 0;
        if (locked_until > now) {
            lock_message(msg, cap, locked_until, now);
            return 0;
        }
    }
    const std::int64_t me = signin::this_process();
    if (given(address)) {
        int retry = 0;
        const int claimed = signin::claim_address(address, now, me, &retry);
        if (claimed < 0) return refuse(-1, kUnavailable);
        if (claimed == 0) {
            if (msg && cap)
                std::snprintf(msg, cap, "Too many failed sign-ins from this address. Try again in %d s.", retry);
            return 0;
        }
    }
    if (names) {
        std::int64_t locked_until = 0;
        const int claimed = claim_account(file, snapshot, *names, address, now, &locked_until);
        if (claimed < 0) return refuse(-1, kUnavailable);
        if (claimed == 0) {
            if (given(address)) signin::release_address(address, now, me);
            lock_message(msg, cap, locked_until, now);
            return 0;
        }
    }
    return 1;
}

// A success clears the account's record under every spelling: they are all one account. The
// attempt this process began, if any, goes with the record; its address entry is taken back too.
void login_success(std::string_view account) {
    const std::string name = record_name(account, true);
    const std::int64_t now = now_seconds(), me = signin::this_process();
    std::int64_t begun_at = 0;
    std::string begun_address;
    const int cleared = change_document(kAttemptsFile, ID_LOCK_RETRIES, Unreadable::fail, [&](Document& doc, bool) {
        if (!doc.IsObject()) return Outcome::unchanged();
        if (const Value* m = own_marker(json::member(doc, name), me, now)) {
            begun_at = json::int_or_zero(*m, "ts");
            begun_address = json::str(*m, "ip");
        }
        const rapidjson::SizeType before = doc.MemberCount();
        json::erase_members_if(doc, [&name](const Value& key, const Value&) {
            const std::string_view k = json::text(key);
            return k.starts_with(kRecordPrefix) && ascii::equal_ignoring_case(k, name);
        });
        return doc.MemberCount() != before ? Outcome::saved() : Outcome::unchanged();
    });
    if (cleared == 0 && !begun_address.empty()) signin::release_address(begun_address, begun_at, me);
}

// Drops the account records that can no longer change a decision (no lock in force, the run
// over), and every later duplicate of a record's name, which is never read. Members that are not
// records stay. The number dropped, or -1 (lock, unreadable store, save failure).
long long sweep_accounts(std::int64_t now) {
    long long dropped = 0;
    const int result = change_document(kAttemptsFile, ID_LOCK_RETRIES, Unreadable::fail, [&](Document& doc, bool) {
        if (!doc.IsObject()) return Outcome::unchanged(0);
        const std::vector<bool> repeated = repeated_names(doc);
        std::size_t i = 0;
        json::erase_members_if(doc, [&](const Value& name, const Value& record) {
            const bool drop = json::text(name).starts_with(kRecordPrefix) && (repeated[i] || cannot_matter(record, now));
            ++i;
            dropped += drop;
            return drop;
        });
        return dropped ? Outcome::saved(0) : Outcome::unchanged(0);
    });
    return result == 0 ? dropped : -1;
}

}  // namespace
}  // namespace tarn

using namespace tarn;

extern "C" {

int id_login_allowed(const char* account, const char* /*unused*/, char* msg, size_t cap) {
    try {
        return login_allowed(account, msg, cap);
    } catch (...) {
        return 1;  // as for a store that cannot be read
    }
}

int id_login_begin(const char* account, const char* address, char* msg, size_t cap) {
    try {
        return login_begin(account, address, msg, cap);
    } catch (...) {
        if (msg && cap) tarn_strlcpy(msg, kUnavailable, cap);
        return -1;
    }
}

void id_login_failed(const char* account, const char* address) {
    try {
        login_failed(account, address);
    } catch (...) {
    }
}

int id_login_failed_and_throttled(const char* account, const char* address) {
    try {
        const int failures = login_failed(account, address);
        if (!given(address)) return 0;
        // The count the recording left behind, or the stored one when it recorded nothing.
        if (failures >= 0) return signin::over_budget(failures) ? 1 : 0;
        return id_login_ip_over_budget(address);
    } catch (...) {
        return 0;
    }
}

void id_login_success(const char* account) {
    if (!given(account)) return;
    try {
        login_success(account);
    } catch (...) {
    }
}

int id_login_sweep(id_login_swept* out) {
    if (out) *out = id_login_swept{};
    try {
        const std::int64_t now = tarn::now_seconds();
        const long long accounts = tarn::sweep_accounts(now);
        const long long addresses = tarn::signin::sweep_addresses(now);
        if (out) {
            out->accounts = accounts > 0 ? static_cast<size_t>(accounts) : 0;
            out->addresses = addresses > 0 ? static_cast<size_t>(addresses) : 0;
        }
        return accounts < 0 || addresses < 0 ? -1 : 0;
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
