// tokens.json: its shape for a change, the lock-free read, and the small rules every token
// operation shares.
#include "tokens/token_store.hpp"

#include <cstring>
#include <limits>

#include "tarn_crypto.h"

namespace tarn::tokens {

namespace {

void ensure_section(Document& doc, const char* name, rapidjson::Type type) {
    if (json::member(doc, name)) return;  // present, of whatever type
    doc.AddMember(rapidjson::StringRef(name), Value(type), doc.GetAllocator());
}

}  // namespace

void load_tokens_mut(Document& doc) {
    if (!doc.IsObject()) doc.SetObject();
    ensure_section(doc, kSessions, rapidjson::kObjectType);
    ensure_section(doc, kAuthCodes, rapidjson::kObjectType);
    ensure_section(doc, kRefresh, rapidjson::kArrayType);
}

bool load_tokens(Document& doc) {
    return load_document(kTokensFile, doc) == LoadStatus::loaded && doc.IsObject();
}

std::optional<std::string_view> presented(const char* text) {
    if (!text) return std::nullopt;
    const std::size_t len = strnlen(text, kMaxPresentedSecret + 1);
    if (len == 0 || len > kMaxPresentedSecret) return std::nullopt;
    return std::string_view(text, len);
}

bool same_secret(std::string_view a, std::string_view b) {
    return tarn_ct_equal(a.data(), a.size(), b.data(), b.size()) == 1;
}

bool expired(const Value& record, std::int64_t now) {
    const Value* at = json::member(record, "expires_at");
    if (!at || !(at->IsInt64() || at->IsUint64())) return true;
    return json::int_value(at) < now;
}

std::int64_t later(std::int64_t now, std::int64_t seconds) {
    std::int64_t t;
    if (__builtin_add_overflow(now, seconds, &t)) return std::numeric_limits<std::int64_t>::max();
    return t;
}

std::optional<std::string> draw_identifier(std::string_view prefix, std::size_t nbytes) {
    char token[64];
    if (tarn_random_token(token, sizeof token, nbytes) != 0) return std::nullopt;
    std::string id(prefix);
    id += token;
    return id;
}

}  // namespace tarn::tokens
