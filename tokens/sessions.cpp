// Browser sessions: the "sessions" section of tokens.json, keyed by session identifier. A session
// binds a signed-in user for a fixed 24 hours; nothing extends it, and an expired one stays until
// it is deleted by identifier or by user, or shed once the store has grown large.
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/clock.hpp"
#include "id_tokens.h"
#include "tokens/grants.hpp"
#include "tokens/token_store.hpp"

namespace tarn::tokens {
namespace {

constexpr std::size_t kSessionRandomBytes = 24;

int create(const char* user_id, const char* username, char* id_out, std::size_t id_cap) {
    const std::optional<std::string> id = draw_identifier("sess_", kSessionRandomBytes);
    if (!id) return -1;
    const int result = change_tokens([&](Document& doc) {
        Value* sessions = member_mut(doc, kSessions);
        if (!sessions->IsObject()) return Outcome::unchanged(-1);  // the identifier could never verify
        const std::int64_t now = now_seconds();
        if (user_id && refused_user(doc, user_id, now)) return Outcome::unchanged(-1);  // being deleted
        auto& a = doc.GetAllocator();
        Value record(rapidjson::kObjectType);
        if (user_id) record.AddMember("user_id", json::copy(user_id, doc), a);
        if (username) record.AddMember("username", json::copy(username, doc), a);
        record.AddMember("created_at", Value(now), a);
        record.AddMember("expires_at", Value(later(now, ID_SESSION_LIFETIME)), a);
        sessions->AddMember(json::copy(*id, doc), record, a);
        return Outcome::saved(0);
    });
    if (result == 0) json::copy_text(id_out, id_cap, *id);
    return result;
}

// The record of session `id` in `doc` when it exists and has not expired, else nullptr.
const Value* valid_session(const Document& doc, std::string_view id) {
    const Value* sessions = json::member(doc, kSessions);
    if (!sessions || !sessions->IsObject()) return nullptr;
    auto it = find_by_name(*sessions, id);
    if (it == sessions->MemberEnd() || !it->value.IsObject()) return nullptr;
    if (expired(it->value, now_seconds())) return nullptr;
    return &it->value;
}

// Copies member `name` of `record` into `out`: a non-string value gives "", a missing one leaves
// `out` as it was.
void copy_present(const Value& record, std::string_view name, char* out, std::size_t cap) {
    if (json::member(record, name)) json::copy_text(out, cap, json::str(record, name));
}

// Verifies the session and, on 1, copies what the caller asked for; `created_at` may be NULL.
int verify(const char* session_id, char* user_id_out, std::size_t user_id_cap, char* username_out,
           std::size_t username_cap, std::int64_t* created_at) {
    const auto id = presented(session_id);
    if (!id) return 0;
    Document doc;
    if (!load_tokens(doc)) return 0;
    const Value* session = valid_session(doc, *id);
    if (!session) return 0;
    copy_present(*session, "user_id", user_id_out, user_id_cap);
    copy_present(*session, "username", username_out, username_cap);
    if (created_at) *created_at = json::int_or_zero(*session, "created_at");
    return 1;
}

// Removes the sessions for which `drop(identifier, record)` holds and saves in every case.
template <class Drop>
int delete_where(Drop&& drop) {
    return change_tokens([&](Document& doc) {
        Value* sessions = member_mut(doc, kSessions);
        if (sessions->IsObject()) erase_members_if(*sessions, drop);
        return Outcome::saved(0);
    });
}

}  // namespace

bool session_user(const char* session_id, std::string& user_id, std::string& username) {
    const auto id = presented(session_id);
    if (!id) return false;
    Document doc;
    if (!load_tokens(doc)) return false;
    const Value* session = valid_session(doc, *id);
    if (!session) return false;
    user_id = json::str(*session, "user_id");
    username = json::str(*session, "username");
    return true;
}

}  // namespace tarn::tokens

using namespace tarn::tokens;

extern "C" {

int id_session_create(const char* user_id, const char* username, char* id_out, size_t id_cap) {
    return guarded(-1, [&] { return create(user_id, username, id_out, id_cap); });
}

int id_session_verify(const char* session_id, char* user_id_out, size_t user_id_cap, char* username_out,
                      size_t username_cap) {
    return guarded(0, [&] { return verify(session_id, user_id_out, user_id_cap, username_out, username_cap, nullptr); });
}

int id_session_verify_v(const char* session_id, char* user_id_out, size_t user_id_cap, char* username_out,
                        size_t username_cap, int64_t* created_at) {
    return guarded(0, [&] {
        return verify(session_id, user_id_out, user_id_cap, username_out, username_cap, created_at);
    });
}

int id_session_delete(const char* session_id) {
    const auto id = presented(session_id);
    if (!id) return -1;
    return guarded(-1, [&] {
        return delete_where([&](std::string_view name, const tarn::Value&) { return same_secret(name, *id); });
    });
}

int id_session_delete_by_user(const char* user_id) {
    if (!user_id || !*user_id) return -1;
    return guarded(-1, [&] {
        return delete_where([&](std::string_view, const tarn::Value& record) {
            return tarn::json::str_is(record, "user_id", user_id);
        });
    });
}

}  // extern "C"
