// The token store as compact JSON for administrators and account pages: sessions, active refresh
// tokens (in full, so that one can be revoked, and masked for display) and exchanged tokens.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "id_tokens.h"
#include "tokens/token_store.hpp"

namespace tarn::tokens {
namespace {

using Writer = JsonWriter<rapidjson::kWriteValidateEncodingFlag>;

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// A token for display: eight asterisks up to 12 bytes, else its first six bytes, "..." and its last
// six. A cut that would split a UTF-8 character leaves that character out, so that the masked
// text of a valid token is valid too (the listing would otherwise fail as a whole).
std::string masked(std::string_view token) {
    if (token.size() <= 12) return "********";
    std::size_t head = 6;
    while (head > 0 && is_continuation(token[head])) --head;
    std::size_t tail = token.size() - 6;
    while (tail < token.size() && is_continuation(token[tail])) ++tail;
    std::string out(token.substr(0, head));
    out += "...";
    out += token.substr(tail);
    return out;
}

class Listing {
public:
    explicit Listing(std::string_view user) : out_(buf_), user_(user) {}

    // The whole listing of `root` (nullptr: nothing readable); false when it cannot be written.
    bool write(const Value* root) {
        bool ok = out_.StartObject();
        ok = ok && out_.Key("sessions") && out_.StartArray();
        if (const Value* s = section(root, kSessions); s && s->IsObject())
            for (auto it = s->MemberBegin(); ok && it != s->MemberEnd(); ++it) ok = session(it->name, it->value);
        ok = ok && out_.EndArray() && out_.Key("refresh") && out_.StartArray();
        if (const Value* r = section(root, kRefresh); r && r->IsArray())
            for (auto it = r->Begin(); ok && it != r->End(); ++it) ok = refresh(*it);
        ok = ok && out_.EndArray() && out_.Key("rotated") && out_.StartArray();
        if (const Value* r = section(root, kRotated); r && r->IsArray())
            for (auto it = r->Begin(); ok && it != r->End(); ++it) ok = rotated(*it);
        return ok && out_.EndArray() && out_.EndObject();
    }

    std::string_view text() const { return {buf_.GetString(), buf_.GetSize()}; }

private:
    static const Value* section(const Value* root, std::string_view name) {
        return root ? json::member(*root, name) : nullptr;
    }

    // Under a user filter, only records whose "user_id" is that user.
    bool listed(const Value& record) const {
        return record.IsObject() && (user_.empty() || json::str_is(record, "user_id", user_));
    }

    bool string(std::string_view s) { return out_.String(s.data(), static_cast<rapidjson::SizeType>(s.size())); }

    bool text_member(const Value& record, const char* name) {
        const Value* v = json::member(record, name);
        if (!v || !v->IsString()) return true;
        return out_.Key(name) && string(json::text(*v));
    }

    bool time_member(const Value& record, const char* name) {
        const Value* v = json::member(record, name);
        if (!v) return true;
        return out_.Key(name) && out_.Int64(json::int_value(v));
    }

    bool session(const Value& id, const Value& record) {
        if (!listed(record)) return true;
        return out_.StartObject() && out_.Key("session_id") && string(json::text(id)) &&
               text_member(record, "user_id") && text_member(record, "username") &&
               time_member(record, "created_at") && time_member(record, "expires_at") && out_.EndObject();
    }

    bool refresh(const Value& record) {
        if (!listed(record)) return true;
        if (!user_.empty()) families_.push_back(json::str(record, "family"));
        bool ok = out_.StartObject();
        if (const Value* token = json::member(record, "token"); token && token->IsString()) {
            ok = ok && out_.Key("token") && string(json::text(*token)) && out_.Key("token_masked") &&
                 string(masked(json::text(*token)));
        }
        return ok && text_member(record, "user_id") && text_member(record, "username") &&
               text_member(record, "client_id") && text_member(record, "scope") &&
               time_member(record, "expires_at") && out_.EndObject();
    }

    // Under a user filter, only the exchanged tokens of that user's own families: an exchanged
    // token presented again ends its family, so showing one user the exchanged tokens of others
    // would let anyone sign anyone out.
    bool rotated(const Value& record) {
        if (!record.IsObject()) return true;
        if (!user_.empty()) {
            const std::string_view family = json::str(record, "family");
            if (family.empty() || std::find(families_.begin(), families_.end(), family) == families_.end())
                return true;
        }
        return out_.StartObject() && text_member(record, "token") && text_member(record, "family") &&
               out_.EndObject();
    }

    JsonBuffer buf_;
    Writer out_;
    std::string_view user_;
    std::vector<std::string_view> families_;  // of the user's listed refresh tokens
};

char* list(const char* user_id) {
    Document doc;
    const bool readable = load_tokens(doc);
    Listing listing(user_id ? user_id : "");
    if (!listing.write(readable ? &doc : nullptr)) return heap_text("{}");
    return heap_text(listing.text());
}

}  // namespace
}  // namespace tarn::tokens

using namespace tarn::tokens;

extern "C" {

char* id_refresh_token_list_json_scoped(const char* user_id) {
    try {
        return list(user_id);
    } catch (...) {
        return tarn::heap_text("{}");
    }
}

char* id_refresh_token_list_json(void) { return id_refresh_token_list_json_scoped(nullptr); }

}  // extern "C"
