// Bounded strings and escapers against plain reference implementations, each output in a heap
// buffer of exactly the capacity given (a write at or past it is a heap overflow under
// AddressSanitizer): tarn_strlcpy, tarn_snprintf, tarn_path_join, html_escape, html_escape_dup,
// url_encode, tarn_rtrim and the two name checks. A capacity of 0 or a null destination must
// leave everything untouched.
//
// Input: two bytes choosing two capacities, then two texts separated by a NUL byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "tarn_cgi.h"

using namespace tarn::fuzz;

namespace {

std::string cut(const std::string& s, std::size_t cap) { return cap == 0 ? std::string() : s.substr(0, cap - 1); }

std::string ref_path_join(std::size_t cap, const std::string& dir, const std::string& name) {
    std::string out = cut(dir, cap);
    if (!out.empty() && out.back() != '/' && out.back() != '\\' && out.size() + 1 < cap) out += '/';
    if (out.size() >= cap) return out;
    return out + cut(name, cap - out.size());
}

std::string html_entity_of(char c) {
    switch (c) {
        case '"': return "&quot;";
        case '&': return "&amp;";
        case '\'': return "&#39;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        default: return std::string(1, c);
    }
}

std::string ref_html_escape_all(const std::string& s) {
    std::string out;
    for (char c : s) out += html_entity_of(c);
    return out;
}

// Stops before a byte once the output so far plus 8 reaches the capacity.
std::string ref_html_escape(const std::string& s, std::size_t cap) {
    std::string out;
    for (char c : s) {
        if (out.size() + 8 >= cap) break;
        out += html_entity_of(c);
    }
    return out;
}

bool ascii_alnum(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Stops before a byte once the output so far plus 4 reaches the capacity.
std::string ref_url_encode(const std::string& s, std::size_t cap) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (out.size() + 4 >= cap) break;
        if (ascii_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string ref_rtrim(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

bool ref_valid_name(const std::string& s, std::string_view extra) {
    if (s.empty() || s.find("..") != std::string::npos) return false;
    for (unsigned char c : s)
        if (!ascii_alnum(c) && extra.find(static_cast<char>(c)) == std::string_view::npos) return false;
    return true;
}

// Runs `op(dst, cap)` on an exact buffer and returns what it wrote, which must be one
// NUL-terminated text within the capacity. With capacity 0 the buffer must stay untouched and
// the result is empty.
template <class Op>
std::string run_bounded(std::size_t cap, Op op) {
    ExactBuffer out(cap);
    op(out.chars(), cap);
    if (cap == 0) {
        FUZZ_CHECK(out.untouched_from(0));
        FUZZ_CHECK(out.bytes()[0] == 0xA5);  // not even the one spare byte behind a zero capacity
        return std::string();
    }
    const void* nul = std::memchr(out.chars(), '\0', cap);
    FUZZ_CHECK(nul != nullptr);
    return std::string(out.chars(), static_cast<const char*>(nul) - out.chars());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t sel1 = in.byte();
    const std::uint8_t sel2 = in.byte();
    const std::string a(in.until('\0'));
    const std::string b(in.until('\0'));
    const char* pa = a.c_str();
    const char* pb = b.c_str();

    // tarn_strlcpy
    {
        const std::size_t cap = pick_capacity(sel1, a.size() + 1);
        FUZZ_CHECK(run_bounded(cap, [&](char* d, std::size_t c) { tarn_strlcpy(d, pa, c); }) == cut(a, cap));
        FUZZ_CHECK(run_bounded(cap, [&](char* d, std::size_t c) { tarn_strlcpy(d, nullptr, c); }).empty());
        tarn_strlcpy(nullptr, pa, cap);
    }
    // tarn_snprintf: the formatter's full length, the text cut to the capacity.
    {
        const std::size_t cap = pick_capacity(sel2, a.size() + b.size() + 2);
        int r = 0;
        const std::string got =
            run_bounded(cap, [&](char* d, std::size_t c) { r = tarn_snprintf(d, c, "%s|%s", pa, pb); });
        FUZZ_CHECK(r == (cap == 0 ? -1 : static_cast<int>(a.size() + b.size() + 1)));
        FUZZ_CHECK(got == cut(a + "|" + b, cap));
        FUZZ_CHECK(tarn_snprintf(nullptr, cap, "%s", pa) == -1);
    }
    // tarn_path_join, with either part missing too.
    {
        const std::size_t cap = pick_capacity(sel1 ^ sel2, a.size() + b.size() + 2);
        FUZZ_CHECK(run_bounded(cap, [&](char* d, std::size_t c) { tarn_path_join(d, c, pa, pb); }) ==
                   ref_path_join(cap, a, b));
        FUZZ_CHECK(run_bounded(cap, [&](char* d, std::size_t c) { tarn_path_join(d, c, nullptr, pb); }) ==
                   ref_path_join(cap, "", b));
        FUZZ_CHECK(run_bounded(cap, [&](char* d, std::size_t c) { tarn_path_join(d, c, pa, nullptr); }) ==
                   ref_path_join(cap, a, ""));
        tarn_path_join(nullptr, cap, pa, pb);
    }
    // html_escape and html_escape_dup
    {
        const std::string full = ref_html_escape_all(a);
        const std::size_t cap = pick_capacity(sel1, full.size() + 8);
        FUZZ_CHECK(run_bounded(cap, [&](char* d, std::size_t c) { html_escape(pa, d, c); }) == ref_html_escape(a, cap));
        FUZZ_CHECK(run_bounded(cap, [&](char* d, std::size_t c) { html_escape(nullptr, d, c); }).empty());
        html_escape(pa, nullptr, cap);
        char* dup = html_escape_dup(pa);
        FUZZ_CHECK(dup != nullptr && full == dup);
        std::free(dup);
        dup = html_escape_dup(nullptr);
        FUZZ_CHECK(dup != nullptr && dup[0] == '\0');
        std::free(dup);
    }
    // url_encode
    {
        const std::string full = ref_url_encode(a, SIZE_MAX);
        const std::size_t cap = pick_capacity(sel2, full.size() + 4);
        FUZZ_CHECK(run_bounded(cap, [&](char* d, std::size_t c) { url_encode(pa, d, c); }) == ref_url_encode(a, cap));
        FUZZ_CHECK(run_bounded(cap, [&](char* d, std::size_t c) { url_encode(nullptr, d, c); }).empty());
        url_encode(pa, nullptr, cap);
    }
    // tarn_rtrim, in place in an exact buffer.
    {
        ExactBuffer t(a.size() + 1);
        std::memcpy(t.chars(), pa, a.size() + 1);
        tarn_rtrim(t.chars());
        FUZZ_CHECK(std::string(t.chars()) == ref_rtrim(a));
        tarn_rtrim(nullptr);
    }
    // The name checks.
    FUZZ_CHECK(tarn_valid_repo_name(pa) == (ref_valid_name(a, "-._") ? 1 : 0));
    FUZZ_CHECK(tarn_valid_ref(pa) == (ref_valid_name(a, "-./:_") ? 1 : 0));
    return 0;
}
