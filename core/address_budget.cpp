// login_attempts_ip.json: the sign-in failures of the last 600 seconds, by client address, and
// the budget of 20 failures an address may spend in that window.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>

#include "core/clock.hpp"
#include "core/document.hpp"
#include "core/json_edit.hpp"
#include "core/json_read.hpp"
#include "core/signin.hpp"
#include "identity_common.h"

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

int record_address_failure(std::string_view address, std::int64_t now) {
    int failures = -1;
    const int saved = change_document(kAddressFile, ID_LOCK_RETRIES, Unreadable::set_aside, [&](Document& doc, bool) {
        if (!doc.IsArray()) doc.SetArray();
        json::erase_elements_if(doc, [now](const Value& el) {
            const Value* ts = json::member(el, "ts");  // nullptr for a non-object too
            return !ts || !in_window(json::int_value(ts), now);
        });
        auto& a = doc.GetAllocator();
        Value entry(rapidjson::kObjectType);
        entry.AddMember("ts", Value(now), a);
        entry.AddMember("ip", json::copy(address, doc), a);
        doc.PushBack(entry, a);
        failures = tally(doc, address, now).failures;
        return Outcome::saved();
    });
    return saved == 0 ? failures : -1;
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
