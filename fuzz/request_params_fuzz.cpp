// Request parameters: the input is a request (method, content type, query string, CONTENT_LENGTH,
// body through POST_BODY_FILE or standard input) and two parameter names. Checked against a
// reference written from the rules:
// - cgi_query, id_param and id_param_copy give the values the decoding rules give (query first,
//   then a POST body read once: a JSON body's first string member, or the form-encoded body),
//   cut at 4095 and 1023 bytes, ending at a decoded NUL;
// - id_param_copy writes nothing past its capacity and nothing at all when the value does not fit;
// - every result stays what it was through the next seven lookups of its slot ring;
// - cgi_read_post returns the file's bytes whole with a NUL after them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/document.hpp"
#include "fuzz/document_reference.hpp"
#include "fuzz/fuzz_support.hpp"
#include "id_request.h"
#include "request/params.hpp"
#include "tarn_cgi.h"

using namespace tarn::fuzz;

namespace {

constexpr std::size_t kQueryValueMax = 4095;
constexpr std::size_t kFormValueMax = 1023;
constexpr std::size_t kBodyMax = std::size_t{1} << 20;

std::string g_dir;

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The value as a C caller sees it: up to its first NUL.
std::string c_text(std::string_view s) { return std::string(s.substr(0, s.find('\0'))); }

// The decoded value of the first segment keyed `name`, cut at `max` bytes; nullopt when none.
std::optional<std::string> form_lookup(std::string_view encoded, std::string_view name, std::size_t max) {
    std::vector<std::string_view> segments;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= encoded.size(); ++i) {
        if (i == encoded.size() || encoded[i] == '&') {
            segments.push_back(encoded.substr(start, i - start));
            start = i + 1;
        }
    }
    for (std::string_view seg : segments) {
        if (seg.empty()) continue;
        const std::size_t eq = seg.find('=');
        const std::string_view key = eq == std::string_view::npos ? seg : seg.substr(0, eq);
        if (key != name) continue;
        const std::string_view raw = eq == std::string_view::npos ? std::string_view{} : seg.substr(eq + 1);
        std::string out;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '+') {
                out += ' ';
            } else if (raw[i] == '%' && i + 2 < raw.size() && hex_digit_value(raw[i + 1]) >= 0 &&
                       hex_digit_value(raw[i + 2]) >= 0) {
                out += static_cast<char>(hex_digit_value(raw[i + 1]) * 16 + hex_digit_value(raw[i + 2]));
                i += 2;
            } else {
                out += raw[i];
            }
        }
        return out.substr(0, max);
    }
    return std::nullopt;
}

struct Request {
    bool post = false;
    bool json_type = false;
    std::string query;                  // as the environment holds it
    std::optional<std::string> body;    // nullopt: none could be read
};

std::string expected_query(const Request& r, const std::string& name) {
    if (name.empty()) return "";
    return c_text(form_lookup(r.query, name, kQueryValueMax).value_or(""));
}

bool reaches_body(const Request& r, const std::string& name) {
    return expected_query(r, name).empty() && r.post && r.body && !r.body->empty();
}

std::string expected_param(const Request& r, const std::string& name) {
    const std::string q = expected_query(r, name);
    if (!q.empty()) return q;
    if (!reaches_body(r, name) || name.empty()) return "";
    if (r.json_type) {
        // A body that is JSON answers from its top-level string members alone, never as a form.
        tarn::Document doc;
        if (tarn::parse_json(*r.body, doc)) {
            const tarn::Value* v = doc.IsObject() ? first_member(doc, name) : nullptr;
            return v && v->IsString() ? c_text(text_of(*v).substr(0, kFormValueMax)) : "";
        }
    }
    return c_text(form_lookup(*r.body, name, kFormValueMax).value_or(""));
}

// Results handed out, with the number of lookups of their ring made when they were.
struct Held {
    const char* ptr;
    std::string value;
    int ring;  // 0: query slots, 1: form slots, 2: the static ""
    int at;
};

class Rings {
public:
    // Records a result of a lookup that advanced `query` and `form` ring slots.
    void add(const char* ptr, const std::string& value, bool query, bool form, int ring) {
        advances_[0] += query;
        advances_[1] += form;
        held_.push_back({ptr, value, ring, ring < 2 ? advances_[ring] : 0});
        for (const Held& h : held_) {
            if (h.ring < 2 && advances_[h.ring] - h.at >= 8) continue;  // its slot was reused
            FUZZ_CHECK(std::strcmp(h.ptr, h.value.c_str()) == 0);
        }
    }

private:
    int advances_[2] = {0, 0};
    std::vector<Held> held_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_TYPE", "CONTENT_LENGTH", "POST_BODY_FILE"})
        ::unsetenv(name);
    g_dir = scratch_dir("params");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t flags = in.byte();
    const std::uint8_t cap_sel = in.byte();
    const std::string name1 = c_text(in.until('\n'));  // names, like every C text, end at a NUL
    const std::string name2 = c_text(in.until('\n'));
    const std::string query = c_text(in.until('\n'));
    const std::string length_text = c_text(in.until('\n'));
    const std::string_view body_bytes = in.rest();

    static const char* const kMethods[] = {"POST", "GET", "PO", nullptr};
    static const char* const kTypes[] = {"application/json; charset=utf-8", "application/x-www-form-urlencoded",
                                         "text/x-application/json", nullptr};
    const char* method = kMethods[flags & 3];
    const char* type = kTypes[(flags >> 2) & 3];
    const bool from_stdin = (flags >> 4) & 1;

    tarn::params::testing::reset_request();
    method ? ::setenv("REQUEST_METHOD", method, 1) : ::unsetenv("REQUEST_METHOD");
    type ? ::setenv("CONTENT_TYPE", type, 1) : ::unsetenv("CONTENT_TYPE");
    query.empty() && (flags & 0x20) ? ::unsetenv("QUERY_STRING") : ::setenv("QUERY_STRING", query.c_str(), 1);
    const std::string file = g_dir + "/body";
    write_whole_file(file, body_bytes);

    Request r;
    r.post = method && method[0] == 'P' && method[1] == 'O';
    r.json_type = type && std::strstr(type, "application/json");
    r.query = query;
    if (from_stdin) {
        ::unsetenv("POST_BODY_FILE");
        ::setenv("CONTENT_LENGTH", length_text.c_str(), 1);
        if (!std::freopen(file.c_str(), "rb", stdin)) check_failed(__FILE__, __LINE__, "freopen");
        // CONTENT_LENGTH: decimal digits only, 1 to 1 MiB; fewer bytes when the input ends first.
        std::size_t want = 0;
        bool digits = !length_text.empty();
        for (char c : length_text) {
            if (c < '0' || c > '9') digits = false;
            want = std::min(want * 10 + static_cast<std::size_t>(c - '0'), kBodyMax + 1);  // saturates
        }
        if (digits && want > 0 && want <= kBodyMax) r.body = std::string(body_bytes.substr(0, want));
    } else {
        ::setenv("POST_BODY_FILE", file.c_str(), 1);
        r.body = std::string(body_bytes);
        std::uint64_t len = 99;
        char* body = cgi_read_post(&len);
        FUZZ_CHECK(body != nullptr && len == body_bytes.size());
        FUZZ_CHECK(std::memcmp(body, body_bytes.data(), body_bytes.size()) == 0 && body[len] == '\0');
        std::free(body);
    }

    Rings rings;
    const std::string names[] = {name1, name2, "a", name1, "user", name2, name1, "", name2, "b", name1, name2};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        const std::string& name = names[i];
        const bool named = !name.empty();
        const std::string query_value = expected_query(r, name);
        const char* q = cgi_query(name.c_str());
        FUZZ_CHECK(q == std::string_view(query_value));
        // A lookup that found a parameter, even an empty one, hands out its slot.
        rings.add(q, query_value, named, false, named ? 0 : 2);

        const std::string value = expected_param(r, name);
        const bool body = reaches_body(r, name);
        const int ring = !query_value.empty() ? 0 : body ? 1 : named ? 0 : 2;
        if (i % 3 == 2) {
            const std::size_t cap = pick_capacity(static_cast<std::uint8_t>(cap_sel + i), value.size() + 1);
            ExactBuffer out(cap);
            const int rc = id_param_copy(name.c_str(), cap ? out.chars() : nullptr, cap);
            rings.add("", "", named, body, 2);
            if (cap > value.size()) {
                FUZZ_CHECK(rc == 0 && std::memcmp(out.chars(), value.c_str(), value.size() + 1) == 0);
                FUZZ_CHECK(out.untouched_from(value.size() + 1));
            } else {
                FUZZ_CHECK(rc == -1 && out.untouched_from(0));
            }
        } else {
            const char* p = id_param(name.c_str());
            FUZZ_CHECK(p == std::string_view(value));
            rings.add(p, value, named, body, ring);
        }
    }
    return 0;
}
