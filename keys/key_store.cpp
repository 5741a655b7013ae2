// The key store: keys.json, the process-wide key table, creation of the first key pair, rotation,
// pruning and the key listing.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/clock.hpp"
#include "foundation/config.hpp"
#include "foundation/document.hpp"
#include "foundation/text_buffer.hpp"
#include "foundation/utf8.hpp"
#include "id_foundation.h"
#include "id_keys.h"
#include "keys/key_store.hpp"
#include "tarn_cgi.h"
#include "tarn_crypto.h"

namespace tarn::keys {

KeyTable g_table;
bool g_store_loaded = false;

namespace {

constexpr std::string_view kKeysFile = "keys.json";
// A save of a freshly generated first key that fails is tried again this many times, each time
// with a fresh key pair, before creation gives up.
constexpr int kCreateSaveRetries = 3;
constexpr std::size_t kMaxDerText = 4096;   // characters of "priv_der_b64"
constexpr std::size_t kDerTextCap = 3072;   // base64url of a full der buffer, and its NUL

// A scratch table for the operations that change keys.json: the live table changes only once
// the new state is on disk.
KeyTable g_work;

// Copies at most cap - 1 bytes of a JSON string into `dst`, backing off to a character boundary
// so that a cut text stays valid UTF-8.
void copy_cut(char* dst, std::size_t cap, const Value& s) {
    std::size_t len = std::strlen(s.GetString());  // a NUL inside the string ends it here
    if (len > s.GetStringLength()) len = s.GetStringLength();
    if (len > cap - 1) {
        len = cap - 1;
        while (len > 0 && (static_cast<unsigned char>(s.GetString()[len]) & 0xC0) == 0x80) --len;
    }
    std::memcpy(dst, s.GetString(), len);
    dst[len] = '\0';
}

bool string_is(const Value& v, std::string_view text) {
    return v.IsString() && std::string_view(v.GetString(), v.GetStringLength()) == text;
}

const Value* member(const Value& obj, const char* name) {
    auto it = obj.FindMember(name);  // the first member of that name
    return it == obj.MemberEnd() ? nullptr : &it->value;
}

// A creation time: integers at their full width, other numbers truncated toward zero and held
// within the 64-bit range; anything else is 0.
std::int64_t read_created(const Value* v) {
    if (!v || !v->IsNumber()) return 0;
    if (v->IsInt64()) return v->GetInt64();
    if (v->IsUint64()) return std::numeric_limits<std::int64_t>::max();
    double d = std::trunc(v->GetDouble());
    if (!(d > -9223372036854775808.0)) return std::numeric_limits<std::int64_t>::min();
    if (!(d < 9223372036854775808.0)) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(d);
}

// Reads a parsed keys.json into `t`. Lenient: elements that are not usable key objects are
// skipped, at most ID_KEYS_MAX keys are taken. Returns the number taken, or -1 when the root is
// not an object (t untouched) or "keys" is not an array.
int table_from_doc(const Value& root, KeyTable& t) {
    if (!root.IsObject()) return -1;
    t.nkeys = 0;
    t.active_kid[0] = '\0';
    if (const Value* active = member(root, "active"); active && active->IsString())
        copy_cut(t.active_kid, sizeof t.active_kid, *active);
    const Value* keys = member(root, "keys");
    if (!keys || !keys->IsArray()) return -1;
    for (rapidjson::SizeType at = 0; at < keys->Size(); ++at) {
        if (t.nkeys == ID_KEYS_MAX) break;
        const Value& el = (*keys)[at];
        if (!el.IsObject()) continue;
        const Value* kid = member(el, "kid");
        const Value* der = member(el, "priv_der_b64");
        if (!kid || !kid->IsString() || !der || !der->IsString()) continue;
        if (const Value* alg = member(el, "alg"); alg && alg->IsString() && !string_is(*alg, "RS256"))
            continue;
        std::size_t text_len = der->GetStringLength();
        if (text_len < 1 || text_len > kMaxDerText) continue;
        id_key_entry& e = t.keys[t.nkeys];
        std::memset(&e, 0, sizeof e);
        std::uint64_t der_len = 0;
        if (tarn_base64url_decode(der->GetString(), text_len, e.der, sizeof e.der, &der_len) != 0)
            continue;
        e.der_len = der_len;
        copy_cut(e.kid, sizeof e.kid, *kid);
        std::memcpy(e.alg, "RS256", 6);
        e.created = read_created(member(el, "created"));
        const Value* status = member(el, "status");
        e.status = (status && string_is(*status, "active")) ? 1 : 2;
        e.has_private = 1;
        e.decoded = 0;
        t.source[t.nkeys] = static_cast<std::int32_t>(at);
        ++t.nkeys;
    }
    return t.nkeys;
}

// The key object of a table entry, in the written member order. False when the encoding fails.
bool entry_to_value(const id_key_entry& e, Value& k, Document& doc) {
    auto& a = doc.GetAllocator();
    char der_text[kDerTextCap];
    if (e.der_len > sizeof e.der ||
        tarn_base64url_encode(e.der, static_cast<std::size_t>(e.der_len), der_text, sizeof der_text) < 0)
        return false;
    k.SetObject();
    k.AddMember("kid", Value(e.kid, a), a);
    k.AddMember("created", Value(static_cast<std::int64_t>(e.created)), a);
    k.AddMember("alg", Value("RS256"), a);
    k.AddMember("priv_der_b64", Value(der_text, a), a);
    k.AddMember("status", rapidjson::StringRef(e.status == 1 ? "active" : "retired"), a);
    return true;
}

// keys.json as a change read it under its lock: the parse, and which elements of its "keys" the
// table took (ascending). Empty when the change works on the table in memory instead.
struct StoredKeys {
    Document doc;
    std::int32_t taken[ID_KEYS_MAX] = {};
    int ntaken = 0;
    const Value* elements() const {
        const Value* keys = doc.IsObject() ? member(doc, "keys") : nullptr;
        return keys && keys->IsArray() ? keys : nullptr;
    }
    bool took(std::int32_t at) const { return std::find(taken, taken + ntaken, at) != taken + ntaken; }
};

// The keys.json document of `t`, in the written member order. The elements of `stored` that the
// table did not take (unusable, or beyond the eighth key) come back as they were, where they
// stood; the entries read from the others stand in their place (a removed one leaves nothing);
// keys made since follow. False when an encoding fails.
bool table_to_doc(const KeyTable& t, const StoredKeys& stored, Document& doc) {
    doc.SetObject();
    auto& a = doc.GetAllocator();
    doc.AddMember("active", Value(t.active_kid, a), a);
    Value keys(rapidjson::kArrayType);
    auto add = [&](const id_key_entry& e) {
        Value k;
        if (!entry_to_value(e, k, doc)) return false;
        keys.PushBack(k, a);
        return true;
    };
    int next = 0;  // entries are in the order of their sources, new ones (-1) last
    if (const Value* elements = stored.elements()) {
        for (rapidjson::SizeType at = 0; at < elements->Size(); ++at) {
            const auto here = static_cast<std::int32_t>(at);
            if (!stored.took(here)) {
                keys.PushBack(Value((*elements)[at], a), a);  // a copy, byte for byte once written
                continue;
            }
            for (; next < t.nkeys && t.source[next] == here; ++next)
                if (!add(t.keys[next])) return false;
        }
    }
    for (; next < t.nkeys; ++next)
        if (!add(t.keys[next])) return false;
    doc.AddMember("keys", keys, a);
    return true;
}

void copy_table(KeyTable& dst, const KeyTable& src) {
    dst.nkeys = src.nkeys;
    std::memcpy(dst.active_kid, src.active_kid, sizeof dst.active_kid);
    for (int i = 0; i < src.nkeys; ++i) {
        copy_entry(dst.keys[i], src.keys[i]);
        dst.source[i] = src.source[i];
    }
}

void commit(const KeyTable& t) { copy_table(g_table, t); }

// How a changing operation found keys.json after taking its lock.
enum class Reloaded { ok, replace_corrupt, failed };

// Reads keys.json again into g_work for rotation and pruning, keeping the parse in `stored`. A
// missing or unparseable file leaves the table in memory to work on (an unparseable one is set
// aside before it is replaced); a file that cannot be read, or holds no usable key, fails.
Reloaded reload_work(const DocFile& file, StoredKeys& stored) {
    const LoadStatus status = load_document(file, stored.doc);
    switch (status) {
        case LoadStatus::loaded:
            if (table_from_doc(stored.doc, g_work) <= 0) return Reloaded::failed;
            stored.ntaken = g_work.nkeys;
            std::copy(g_work.source, g_work.source + g_work.nkeys, stored.taken);
            return Reloaded::ok;
        case LoadStatus::missing:
        case LoadStatus::invalid:
            // No file to put the entries back into: they are written in table order.
            stored.doc.SetNull();
            copy_table(g_work, g_table);
            std::fill(g_work.source, g_work.source + g_work.nkeys, -1);
            return status == LoadStatus::missing ? Reloaded::ok : Reloaded::replace_corrupt;
        case LoadStatus::unreadable:
            break;
    }
    return Reloaded::failed;
}

// Saves g_work as keys.json (setting an unparseable file aside first) and makes it the live
// table. The published key set, when one is configured, is written first: a change that cannot
// publish its keys does not happen, and one whose save fails puts the published file back. 0, or
// -1 with keys.json, the published file and the live table as they were.
int save_work(const DocFile& file, Reloaded how, const StoredKeys& stored) {
    Document doc;
    if (!table_to_doc(g_work, stored, doc)) return -1;
    const PublishedFile published;
    if (published.configured()) {
        std::string body;
        if (!published_body(g_work, body) || !published.write(body)) return -1;
    }
    std::optional<SetAside> aside;
    if ((how == Reloaded::replace_corrupt && !aside.emplace(file).ok()) || save_document(file, doc) != 0) {
        if (published.configured()) published.restore();
        return -1;
    }
    if (aside) aside->keep();
    commit(g_work);
    return 0;
}

void append_json_escaped(TextBuffer& out, const char* s) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (; *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '"' || c == '\\') {
            char esc[2] = {'\\', static_cast<char>(c)};
            out.append(esc, 2);
        } else if (c < 0x20) {
            char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
            out.append(esc, 6);
        } else {
            out.append(s, 1);
        }
    }
}

}  // namespace

namespace testing {
void reset_table() {
    std::memset(&g_table, 0, sizeof g_table);
    g_store_loaded = false;
}
}  // namespace testing

}  // namespace tarn::keys

using namespace tarn;
using namespace tarn::keys;

namespace {

int load_or_create() {
    if (g_store_loaded) return 0;
    const DocFile file(kKeysFile);
    DocumentLock lock;
    if (!lock.acquire(file, ID_KEYS_LOCK_RETRIES)) return -1;
    for (int round = 0; round <= kCreateSaveRetries; ++round) {
        Document doc;
        LoadStatus status = load_document(file, doc);
        if (status == LoadStatus::loaded) {
            // An existing keys.json without a usable key is a failure and is left as it is.
            if (table_from_doc(doc, g_work) <= 0) return -1;
            commit(g_work);
            g_store_loaded = true;
            publish_loaded(g_table);  // still under the lock: a stale published file is mended
            return 0;
        }
        if (status == LoadStatus::unreadable) return -1;  // never replace what we cannot read

        // Missing or unparseable: the first key pair, generated and saved under the lock.
        g_work.nkeys = 0;
        g_work.active_kid[0] = '\0';
        if (id_key_generate(&g_work.keys[0]) != 0) return -1;
        g_work.nkeys = 1;
        g_work.source[0] = -1;
        std::memcpy(g_work.active_kid, g_work.keys[0].kid, sizeof g_work.active_kid);
        Document out;
        if (!table_to_doc(g_work, StoredKeys{}, out)) return -1;
        std::optional<SetAside> aside;
        if (status == LoadStatus::invalid && !aside.emplace(file).ok()) return -1;
        if (save_document(file, out) == 0) {
            if (aside) aside->keep();
            commit(g_work);
            g_store_loaded = true;
            publish_loaded(g_table);
            return 0;
        }
    }
    return -1;
}

int rotate() {
    if (id_keys_load_or_create() != 0) return -1;
    const DocFile file(kKeysFile);
    DocumentLock lock;
    if (!lock.acquire(file, ID_KEYS_LOCK_RETRIES)) return -1;
    StoredKeys stored;
    Reloaded how = reload_work(file, stored);
    if (how == Reloaded::failed) return -1;
    if (g_work.nkeys >= ID_KEYS_MAX) return -1;  // full: prune first
    if (g_work.active_kid[0] != '\0') {
        for (int i = 0; i < g_work.nkeys; ++i) {
            if (std::strcmp(g_work.keys[i].kid, g_work.active_kid) == 0) {
                g_work.keys[i].status = 2;
                break;
            }
        }
    }
    id_key_entry& fresh = g_work.keys[g_work.nkeys];
    if (id_key_generate(&fresh) != 0) return -1;
    g_work.source[g_work.nkeys] = -1;
    ++g_work.nkeys;
    std::memcpy(g_work.active_kid, fresh.kid, sizeof g_work.active_kid);
    return save_work(file, how, stored);
}

// Removes the retired keys created before `cutoff` (never the active one), their kids written
// into `kids` (when given, separated by spaces, cut to cap). With `dry_run` nothing is saved.
int prune(std::int64_t cutoff, bool dry_run, char* kids, std::size_t kids_cap) {
    if (kids && kids_cap) kids[0] = '\0';
    if (id_keys_load_or_create() != 0) return -1;
    const DocFile file(kKeysFile);
    DocumentLock lock;
    if (!lock.acquire(file, ID_KEYS_LOCK_RETRIES)) return -1;
    StoredKeys stored;
    Reloaded how = reload_work(file, stored);
    if (how == Reloaded::failed) return -1;

    std::string names;
    int kept = 0;
    int removed = 0;
    for (int i = 0; i < g_work.nkeys; ++i) {
        const id_key_entry& e = g_work.keys[i];
        if (e.status == 2 && e.created < cutoff && std::strcmp(e.kid, g_work.active_kid) != 0) {
            ++removed;
            names += (names.empty() ? "" : " ") + std::string(e.kid);
            continue;
        }
        if (kept != i) {
            copy_entry(g_work.keys[kept], e);
            g_work.source[kept] = g_work.source[i];
        }
        ++kept;
    }
    g_work.nkeys = kept;
    if (dry_run) {
        if (kids && kids_cap) tarn_strlcpy(kids, names.c_str(), kids_cap);
        return removed;
    }
    if (removed == 0) {
        if (how == Reloaded::ok) commit(g_work);  // the table now matches the file
        return 0;
    }
    if (save_work(file, how, stored) != 0) return -1;
    if (kids && kids_cap) tarn_strlcpy(kids, names.c_str(), kids_cap);
    return removed;
}

// now - seconds, held within the 64-bit range.
std::int64_t cutoff_before(std::int64_t seconds) {
    std::int64_t cutoff;
    if (__builtin_sub_overflow(now_seconds(), seconds, &cutoff))
        cutoff = seconds > 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    return cutoff;
}

char* list_json() {
    if (id_keys_load_or_create() != 0) return nullptr;
    // Per entry at most 8 + 23 * 6 (an escaped kid) + 12 + 20 + 35 bytes and a comma.
    TextBuffer out(2 + ID_KEYS_MAX * 240);
    out.append("[");
    for (int i = 0; i < g_table.nkeys; ++i) {
        const id_key_entry& e = g_table.keys[i];
        out.append(i == 0 ? "{\"kid\":\"" : ",{\"kid\":\"");
        append_json_escaped(out, e.kid);
        char tail[96];
        std::snprintf(tail, sizeof tail, "\",\"created\":%lld,\"alg\":\"RS256\",\"status\":\"%s\"}",
                      static_cast<long long>(e.created), e.status == 1 ? "active" : "retired");
        out.append(tail);
    }
    out.append("]");
    return out.release();
}

// keys.json as it is, for an operator: read without the lock, nothing loaded into the process's
// table and nothing created.
char* inspect_json() {
    const std::string data_dir = config::data_dir();
    char path[1024];
    tarn_path_join(path, sizeof path, data_dir.c_str(), std::string(kKeysFile).c_str());
    Document doc;
    const LoadStatus status = load_document(DocFile::at(path), doc);
    auto t = std::make_unique<KeyTable>();
    t->nkeys = 0;
    t->active_kid[0] = '\0';
    std::vector<std::string> problems;
    const char* state = "missing";
    switch (status) {
        case LoadStatus::loaded:
            state = "read";
            if (table_from_doc(doc, *t) < 0) problems.push_back("keys.json holds no list of keys: the key store refuses it");
            break;
        case LoadStatus::invalid: state = "invalid"; break;
        case LoadStatus::unreadable: state = "unreadable"; break;
        case LoadStatus::missing: break;
    }
    int usable = 0;
    bool active_usable = false;
    bool active_found = false;
    JsonBuffer buf;
    JsonWriter<rapidjson::kWriteValidateEncodingFlag> w(buf);
    // Every text as valid UTF-8: the published file's configured path may hold any bytes.
    auto text = [&w](std::string_view v) {
        const std::string t = utf8::repaired(v);
        return w.String(t.data(), static_cast<rapidjson::SizeType>(t.size()));
    };
    bool ok = w.StartObject() && w.Key("state") && text(state) && w.Key("active") && text(t->active_kid) &&
              w.Key("keys") && w.StartArray();
    for (int i = 0; ok && i < t->nkeys; ++i) {
        id_key_entry& e = t->keys[i];
        const bool good = entry_usable(e);
        usable += good;
        if (!active_found && std::strcmp(e.kid, t->active_kid) == 0) {
            active_found = true;
            active_usable = good && e.status == 1;
        }
        ok = w.StartObject() && w.Key("kid") && text(e.kid) && w.Key("created") && w.Int64(e.created) &&
             w.Key("alg") && text("RS256") && w.Key("status") && text(e.status == 1 ? "active" : "retired") &&
             w.Key("usable") && w.Bool(good) && w.EndObject();
    }
    ok = ok && w.EndArray() && w.Key("usable") && w.Int(usable);
    if (status == LoadStatus::loaded && problems.empty()) {
        if (usable == 0) {
            problems.push_back("keys.json holds no usable key: nothing can be signed or published");
        } else if (!active_usable) {
            problems.push_back(std::string("the active key \"") + t->active_kid +
                               "\" is not a usable key of keys.json: nothing can be signed");
        }
    }
    // The published file, against the key set of keys.json as it is.
    const PublishedFile published;
    const char* published_state = "none";
    if (published.configured()) {
        std::string body;
        switch (published.state) {
            case PublishedFile::State::present:
                published_state = status == LoadStatus::loaded && published_body(*t, body) && body == published.text
                                      ? "current" : "stale";
                break;
            case PublishedFile::State::unreadable: published_state = "unreadable"; break;
            default: published_state = "missing"; break;
        }
        if (status == LoadStatus::loaded && std::string_view(published_state) == "stale")
            problems.push_back("the published key set " + published.path + " is not the key set of keys.json");
        if (std::string_view(published_state) == "unreadable")
            problems.push_back("the published key set " + published.path + " cannot be read");
    }
    ok = ok && w.Key("jwks_file") && w.StartObject() && w.Key("path") && text(published.path) && w.Key("state") &&
         text(published_state) && w.EndObject() && w.Key("problems") && w.StartArray();
    for (std::size_t i = 0; ok && i < problems.size(); ++i) ok = text(problems[i]);
    ok = ok && w.EndArray() && w.EndObject();
    return ok ? heap_text({buf.GetString(), buf.GetSize()}) : nullptr;
}

}  // namespace

// The C interface: nothing may escape it, so an allocation failure inside the document layer is
// a failed operation.
extern "C" int id_keys_load_or_create(void) {
    if (g_store_loaded) return 0;
    try {
        return load_or_create();
    } catch (...) {
        return -1;
    }
}

extern "C" int id_keys_rotate(void) {
    try {
        return rotate();
    } catch (...) {
        return -1;
    }
}

extern "C" int id_keys_prune(int32_t age_days) {
    try {
        return prune(cutoff_before(static_cast<std::int64_t>(age_days) * 86400), false, nullptr, 0);
    } catch (...) {
        return -1;
    }
}

extern "C" int id_keys_prune_age(int64_t max_age, int dry_run, char* kids_out, size_t kids_cap) {
    try {
        return prune(cutoff_before(max_age), dry_run != 0, kids_out, kids_cap);
    } catch (...) {
        if (kids_out && kids_cap) kids_out[0] = '\0';
        return -1;
    }
}

extern "C" char* id_keys_list_json(void) {
    try {
        return list_json();
    } catch (...) {
        return nullptr;
    }
}

extern "C" char* id_keys_inspect_json(void) {
    try {
        return inspect_json();
    } catch (...) {
        return nullptr;
    }
}
