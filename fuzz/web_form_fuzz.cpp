// The provider programs' readers of request text: form fields (query strings and form bodies) and
// cookies. Fields are checked against a decoder written from the rules, character by character,
// and must survive form_encode, form_encode_compact and a second parse unchanged; a cookie
// against a split at ";"; is_utf8 against a reference reading of UTF-8.
// (HTTP Basic credentials are the library's to decode: the clients_auth target checks them.)
//
// Input: the form text, a NUL, the Cookie header, a NUL, a cookie name, a NUL; the rest (a client
// id, a secret and an Authorization header in older corpus files) is not read.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "web/form.hpp"
#include "web/http.hpp"

using namespace tarn::fuzz;

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Fields end at "&"; a field is a name, then after its first "=" a value; empty fields do not
// count; "+" is a space, "%" and two hex digits a byte; a lone "%", a NUL, more than 8192 decoded
// bytes in a name or value or more than 64 fields refuse the whole text.
std::optional<Fields> reference_parse(std::string_view text) {
    Fields fields;
    std::string name, value;
    bool in_value = false, any = false;
    auto finish = [&]() -> bool {
        if (any) {
            if (fields.size() == 64) return false;
            fields.emplace_back(name, value);
        }
        name.clear();
        value.clear();
        in_value = any = false;
        return true;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '&') {
            if (!finish()) return std::nullopt;
            continue;
        }
        any = true;
        if (c == '=' && !in_value) {
            in_value = true;
            continue;
        }
        char out = c;
        if (c == '+') out = ' ';
        if (c == '%') {
            if (i + 2 >= text.size() || hex(text[i + 1]) < 0 || hex(text[i + 2]) < 0) return std::nullopt;
            out = static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        }
        std::string& into = in_value ? value : name;
        if (out == '\0' || into.size() == 8192) return std::nullopt;
        into.push_back(out);
    }
    if (!finish()) return std::nullopt;
    return fields;
}

std::string reference_cookie(std::string_view header, std::string_view name) {
    std::size_t start = 0;
    while (start <= header.size()) {
        std::size_t end = header.find(';', start);
        if (end == std::string_view::npos) end = header.size();
        std::string_view part = header.substr(start, end - start);
        std::size_t first = 0;
        while (first < part.size() && part[first] == ' ') ++first;
        part = part.substr(first);
        if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 && part[name.size()] == '=') {
            std::string value(part.substr(name.size() + 1));
            while (!value.empty() && value.back() == ' ') value.pop_back();
            return value;
        }
        start = end + 1;
    }
    return {};
}

// UTF-8 as code points: a lead byte announcing 0 to 3 continuation bytes, the value the
// shortest form for its length, not a surrogate, at most U+10FFFF.
bool reference_utf8(std::string_view s) {
    static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const int more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (more < 0 || (more > 0 && i + more >= s.size())) return false;
        std::uint32_t cp = more == 0 ? c : c & (0x3Fu >> more);
        for (int k = 1; k <= more; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b >> 6) != 2) return false;
            cp = cp << 6 | (b & 0x3F);
        }
        if (cp < kLeast[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::string_view text = in.until('\0'), cookies = in.until('\0'), cookie_name = in.until('\0');

    FUZZ_CHECK(web::is_utf8(text) == reference_utf8(text));
    web::Form form;
    const std::optional<Fields> expected = reference_parse(text);
    FUZZ_CHECK(form.parse(text) == expected.has_value());
    if (expected) {
        FUZZ_CHECK(form.fields() == *expected);
        web::Form again;
        FUZZ_CHECK(again.parse(web::form_encode(form)) && again.fields() == *expected);
        web::Form compact;
        FUZZ_CHECK(compact.parse(web::form_encode_compact(form)) && compact.fields() == *expected);
        for (const auto& [n, v] : *expected) FUZZ_CHECK(form.has(n) && form.count(n) >= 1);
        if (!expected->empty()) FUZZ_CHECK(form.get((*expected)[0].first) == (*expected)[0].second);
    } else {
        FUZZ_CHECK(form.fields().empty());
    }

    if (!cookie_name.empty())
        FUZZ_CHECK(web::cookie_value(cookies, cookie_name) == reference_cookie(cookies, cookie_name));
    return 0;
}
