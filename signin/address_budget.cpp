// login_attempts_ip.json: the sign-in failures of the last 600 seconds, by client address, and
// the budget of 20 failures an address may spend in that window. An attempt begun before its
// password is checked is an entry from the start, with the "pid" of the process that began it.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/json_edit.hpp"
#include "foundation/json_read.hpp"
#include "id_foundation.h"
#include "id_signin.h"
#include "signin/signin.hpp"

namespace tarn::signin {
namespace {

constexpr std::string_view kAddressFile = "login_attempts_ip.json";
constexpr std::int64_t kWindow = 600;   // seconds a failure counts
constexpr int kBudget = 20;             // failures in the window that put an address over
constexpr std::int64_t kMaxWait = 600;  // the longest retry delay handed out

// A failure at `ts` still counts at `now`.
bool in_window(std::int64_t ts, std::int64_t now) { return ts > now - kWindow; }

struct Tally {
    int failures = 0;
    std::int64_t oldest = std::numeric_limits<std::int64_t>::max();
};

// The failures of `address` in the window: elements that are objects with a "ts" and an "ip"
// equal to the address (the first member of each name counts).
Tally tally(const Value& root, std::string_view address, std::int64_t now) {
    Tally t;
    if (!root.IsArray()) return t;
    for (const Value& el : root.GetArray()) {
        const Value* ts = json::member(el, "ts");
        if (!ts || !json::str_is(el, "ip", address)) continue;
        const std::int64_t when = json::int_value(ts);
        if (!in_window(when, now)) continue;
        ++t.failures;
        t.oldest = std::min(t.oldest, when);
    }
    return t;
}

// True when the entry `el` is an attempt of `address` that `process` began ("pid"; process
// identifiers are positive, so an entry without one never matches).
bool is_attempt_of(const Value& el, std::string_view address, std::int64_t process) {
    return json::int_or_zero(el, "pid") == process && json::str_is(el, "ip", address);
}

// True when `process` began an attempt of `address` that is still among the entries of `root`.
bool begun_by(const Value& root, std::string_view address, std::int64_t process) {
    for (const Value& el : root.GetArray())
        if (is_attempt_of(el, address, process)) return true;
    return false;
}

// Drops every element that is not an entry of the window: not an object, no "ts", or a "ts" (0
// when not an integer) at or before now - 600.
void drop_outside_window(Value& root, std::int64_t now) {
    json::erase_elements_if(root, [now](const Value& el) {
        const Value* ts = json::member(el, "ts");  // nullptr for a non-object too
        return !ts || !in_window(json::int_value(ts), now);
    });
}

Tally read_tally(std::string_view address, std::int64_t now) {
    Document doc;
    if (load_document(kAddressFile, doc) != LoadStatus::loaded) return {};
    return tally(doc, address, now);
}

// The seconds until the oldest counted failure leaves the window, from 1 to 600.
int retry_after(const Tally& t, std::int64_t now) {
    std::int64_t wait;
    if (__builtin_sub_overflow(t.oldest, now, &wait) || __builtin_add_overflow(wait, kWindow, &wait) ||
        wait > kMaxWait)
        return static_cast<int>(kMaxWait);
    return wait <= 0 ? 1 : static_cast<int>(wait);
}

}  // namespace

bool over_budget(int failures) { return failures >= kBudget; }

int record_address_failure(std::string_view address, std::int64_t now, std::int64_t process) {
    return change_document(kAddressFile, ID_LOCK_RETRIES, Unreadable::set_aside, [&](Document& doc, bool) {
        if (!doc.IsArray()) doc.SetArray();
        drop_outside_window(doc, now);
        if (begun_by(doc, address, process)) return Outcome::unchanged(tally(doc, address, now).failures);
        auto& a = doc.GetAllocator();
        Value entry(rapidjson::kObjectType);
        entry.AddMember("ts", Value(now), a);
        entry.AddMember("ip", json::copy(address, doc), a);
        doc.PushBack(entry, a);
        return Outcome::saved(tally(doc, address, now).failures);
    });
}

long long sweep_addresses(std::int64_t now) {
    long long dropped = 0;
    const int result = change_document(kAddressFile, ID_LOCK_RETRIES, Unreadable::fail, [&](Document& doc, bool) {
        if (!doc.IsArray()) return Outcome::unchanged(0);
        const auto before = doc.Size();
        drop_outside_window(doc, now);
        dropped = static_cast<long long>(before - doc.Size());
        return dropped ? Outcome::saved(0) : Outcome::unchanged(0);
    });
    return result == 0 ? dropped : -1;
}

int claim_address(std::string_view address, std::int64_t now, std::int64_t process, int* retry) {
    return change_document(kAddressFile, ID_LOCK_RETRIES, Unreadable::set_aside, [&](Document& doc, bool) {
        if (!doc.IsArray()) doc.SetArray();
        const Tally t = tally(doc, address, now);
        if (over_budget(t.failures)) {
            *retry = retry_after(t, now);
            return Outcome::unchanged(0);
        }
        drop_outside_window(doc, now);
        auto& a = doc.GetAllocator();
        Value entry(rapidjson::kObjectType);
        entry.AddMember("ts", Value(now), a);
        entry.AddMember("ip", json::copy(address, doc), a);
        entry.AddMember("pid", Value(process), a);
        doc.PushBack(entry, a);
        return Outcome::saved(1);
    });
}

void release_address(std::string_view address, std::int64_t ts, std::int64_t process) {
    change_document(kAddressFile, ID_LOCK_RETRIES, Unreadable::fail, [&](Document& doc, bool) {
        if (!doc.IsArray()) return Outcome::unchanged();
        for (rapidjson::SizeType i = doc.Size(); i-- > 0;) {
            const Value& el = doc[i];
            if (json::int_or_zero(el, "ts") == ts && is_attempt_of(el, address, process)) {
                doc.Erase(doc.Begin() + i);
                return Outcome::saved();
            }
        }
        return Outcome::unchanged();
    });
}

}  // namespace tarn::signin

using namespace tarn;

extern "C" {

int id_login_ip_over_budget(const char* address) {
    if (!address || !*address) return 0;
    try {
        return signin::over_budget(signin::read_tally(address, now_seconds()).failures) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int id_login_ip_retry_after(const char* address) {
    if (!address || !*address) return 0;
    try {
        const std::int64_t now = now_seconds();
        const signin::Tally t = signin::read_tally(address, now);
        return signin::over_budget(t.failures) ? signin::retry_after(t, now) : 0;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
