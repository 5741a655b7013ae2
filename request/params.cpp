// Request parameters: the query string first, then the request body (read once per process),
// as a JSON object or as form-encoded text.
#include "request/params.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cgi/form_decode.hpp"
#include "cgi/request.hpp"
#include "foundation/document.hpp"
#include "foundation/json_read.hpp"
#include "id_request.h"
#include "tarn_cgi.h"

namespace tarn::params {
namespace {

constexpr std::size_t kFormSlotBytes = 1024;

char g_form_slots[cgi::kSlots][kFormSlotBytes];
int g_form_slot = 0;  // the slot used last: the first lookup takes slot 1

// The request body, read at most once per process and kept until it ends. A JSON body is parsed
// once, at its first JSON lookup: every later lookup would parse the same bytes again.
struct CachedBody {
    char* data = nullptr;
    std::uint64_t len = 0;
    bool read_attempted = false;
    bool json_parsed = false;
    bool json_ok = false;
    Document json;
};
CachedBody g_body;

std::string_view body_text() { return {g_body.data, static_cast<std::size_t>(g_body.len)}; }

// The body parsed as JSON, or nullptr when it does not parse.
const Value* json_body() {
    if (!g_body.json_parsed) {
        g_body.json_parsed = true;
        g_body.json_ok = parse_json(body_text(), g_body.json);
    }
    return g_body.json_ok ? &g_body.json : nullptr;
}

void read_body_once() {
    if (g_body.read_attempted || !cgi_is_post()) return;
    g_body.read_attempted = true;
    g_body.data = cgi_read_post(&g_body.len);
    if (!g_body.data) g_body.len = 0;
}

// The parameter `name` in the cached body, in the next form slot.
const char* body_lookup(const char* name) {
    g_form_slot = (g_form_slot + 1) % cgi::kSlots;
    char* slot = g_form_slots[g_form_slot];
    std::memset(slot, 0, kFormSlotBytes);
    // An empty key would match a "=value" segment: no parameter has an empty name.
    if (!name || !*name) return "";
    if (std::strstr(cgi_env("CONTENT_TYPE", ""), "application/json")) {
        if (const Value* root = json_body()) {
            // Only the first member of the name counts, and only a string: a client sends
            // parameters as strings, and a number or an object is no value of one. A JSON body
            // answers from its members alone: read as a form, its text would yield parameters
            // from inside its strings ({"note":"&role=admin"}).
            if (const Value* v = json::member(*root, name); v && v->IsString()) {
                std::size_t n = v->GetStringLength();
                if (n > kFormSlotBytes - 1) n = kFormSlotBytes - 1;
                std::memcpy(slot, v->GetString(), n);
                slot[n] = '\0';
                return slot;
            }
            return "";
        }
    }
    return cgi::find_form_value(body_text(), name, slot, kFormSlotBytes) ? slot : "";
}

const char* param(const char* name) {
    const char* from_query = cgi_query(name);
    if (*from_query) return from_query;  // present but empty counts as absent
    read_body_once();
    if (!g_body.data || g_body.len == 0) return "";
    return body_lookup(name);
}

}  // namespace

namespace testing {
void reset_request() {
    std::free(g_body.data);
    g_body.data = nullptr;
    g_body.len = 0;
    g_body.read_attempted = false;
    g_body.json_parsed = false;
    g_body.json_ok = false;
    Document fresh;
    g_body.json.Swap(fresh);  // the old document's memory goes with `fresh`
    std::memset(g_form_slots, 0, sizeof g_form_slots);
    g_form_slot = 0;
    cgi::testing::reset_query_slots();
}
}  // namespace testing

}  // namespace tarn::params

extern "C" {

const char* id_param(const char* name) {
    try {
        return tarn::params::param(name);
    } catch (...) {
        return "";  // out of memory while parsing the body: the parameter is not available
    }
}

int id_param_copy(const char* name, char* dst, size_t cap) {
    if (!dst || cap == 0) return -1;
    const char* value = id_param(name);
    const std::size_t n = std::strlen(value);
    if (n + 1 > cap) return -1;
    std::memcpy(dst, value, n + 1);
    return 0;
}

}  // extern "C"
