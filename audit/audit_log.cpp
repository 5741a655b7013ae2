// audit_log.json: the newest 2000 account and security events, oldest first; recorded, listed
// newest first, counted and pruned. A failure to record is reported, never fatal to the caller.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/json_read.hpp"
#include "foundation/utf8.hpp"
#include "id_audit.h"
#include "id_foundation.h"

namespace tarn {
namespace {

constexpr std::string_view kAuditFile = "audit_log.json";
constexpr rapidjson::SizeType kMaxEntries = 2000;
constexpr rapidjson::SizeType kDefaultListed = 200;

std::string_view or_empty(const char* s) { return s ? std::string_view(s) : std::string_view(); }

// Stored as valid UTF-8, so that an event naming a crafted username is still recorded.
Value stored_text(std::string_view s, Document& doc) { return json::copy(utf8::repaired(s), doc); }

int record(const char* event, const char* user_id, const char* username, const char* address, const char* detail) {
    bool not_a_log = false;
    ChangeFailure failure;
    int result;
    try {
        result = change_document(kAuditFile, ID_LOCK_RETRIES, Unreadable::fail, [&](Document& doc, bool existed) {
            if (!existed) {
                doc.SetArray();
            } else if (!doc.IsArray()) {
                not_a_log = true;  // stored entries are never discarded
                return Outcome::unchanged(-1);
            }
            auto& a = doc.GetAllocator();
            Value entry(rapidjson::kObjectType);
            entry.AddMember("ts", Value(static_cast<std::int64_t>(now_seconds())), a);
            entry.AddMember("event", stored_text(event, doc), a);
            entry.AddMember("user_id", stored_text(or_empty(user_id), doc), a);
            entry.AddMember("username", stored_text(or_empty(username), doc), a);
            entry.AddMember("ip", stored_text(address && *address ? address : "?", doc), a);
            entry.AddMember("detail", stored_text(or_empty(detail), doc), a);
            doc.PushBack(entry, a);
            if (doc.Size() > kMaxEntries) doc.Erase(doc.Begin(), doc.End() - kMaxEntries);
            return Outcome::saved();
        }, &failure);
    } catch (const std::bad_alloc&) {
        id_log_line("AUDIT: out of memory building audit_log.json (event=%s)", event);
        return -1;
    }
    if (failure == ChangeFailure::lock) {
        id_log_line("AUDIT: lock failed for audit_log.json (event=%s) \u2014 sign-in unaffected", event);
    } else if (failure == ChangeFailure::load || not_a_log) {
        id_log_line("AUDIT: unreadable audit_log.json left as it is (event=%s) \u2014 sign-in unaffected", event);
    } else if (failure == ChangeFailure::save) {
        id_log_line("AUDIT: save failed for audit_log.json (event=%s) \u2014 sign-in unaffected", event);
    }
    return result;
}

void write_member(JsonWriter<>& out, const char* name, std::string_view text) {
    out.Key(name);
    out.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

char* list_json(int max) {
    const rapidjson::SizeType limit = max <= 0 ? kDefaultListed : static_cast<rapidjson::SizeType>(max);
    Document doc;
    if (load_document(kAuditFile, doc) != LoadStatus::loaded || !doc.IsArray()) return heap_text("[]");
    JsonBuffer buf;
    JsonWriter<> out(buf);
    out.StartArray();
    const rapidjson::SizeType size = doc.Size();
    for (rapidjson::SizeType i = 0; i < std::min(limit, size); ++i) {
        const Value& e = doc[size - 1 - i];
        if (!e.IsObject()) continue;  // counts against the limit all the same
        const Value* ip = json::member(e, "ip");
        out.StartObject();
        out.Key("ts");
        out.Int64(json::int_or_zero(e, "ts"));
        write_member(out, "event", json::str(e, "event"));
        write_member(out, "user_id", json::str(e, "user_id"));
        write_member(out, "username", json::str(e, "username"));
        write_member(out, "ip", ip && ip->IsString() ? json::text(*ip) : "?");
        write_member(out, "detail", json::str(e, "detail"));
        out.EndObject();
    }
    out.EndArray();
    return heap_text(std::string_view(buf.GetString(), buf.GetSize()));
}

int count() {
    Document doc;
    if (load_document(kAuditFile, doc) != LoadStatus::loaded || !doc.IsArray()) return 0;
    return static_cast<int>(std::min<rapidjson::SizeType>(doc.Size(), INT32_MAX));
}

int prune(int keep) {
    const rapidjson::SizeType kept = keep < 0 ? 0 : static_cast<rapidjson::SizeType>(keep);
    ChangeFailure failure;
    const int result = change_document(kAuditFile, ID_LOCK_RETRIES, Unreadable::fail, [kept](Document& doc, bool) {
        if (!doc.IsArray() || doc.Size() <= kept) return Outcome::unchanged(0);
        const rapidjson::SizeType removed = doc.Size() - kept;
        doc.Erase(doc.Begin(), doc.Begin() + removed);
        return Outcome::saved(static_cast<int>(removed));
    }, &failure);
    return failure == ChangeFailure::load ? 0 : result;  // no readable log: nothing to prune
}

}  // namespace
}  // namespace tarn

using namespace tarn;

extern "C" {

int id_audit_record(const char* event, const char* user_id, const char* username, const char* address,
                    const char* detail) {
    if (!event || !*event) return -1;
    try {
        return record(event, user_id, username, address, detail);
    } catch (...) {
        return -1;
    }
}

char* id_audit_list_json(int max) {
    try {
        return list_json(max);
    } catch (...) {
        return heap_text("[]");
    }
}

int id_audit_count(void) {
    try {
        return count();
    } catch (...) {
        return 0;
    }
}

int id_audit_prune(int keep) {
    try {
        return prune(keep);
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
