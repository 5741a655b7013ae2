// Bounded text operations: every result fits its array and is NUL-terminated; overlong input is
// cut, never reported.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cgi/html_entity.hpp"
#include "tarn_cgi.h"

namespace {

using tarn::html_entity;

size_t escaped_size(char c) {
    std::string_view entity = html_entity(c);
    return entity.empty() ? 1 : entity.size();
}

// Writes `c` or its entity at `at`; returns the number of bytes written.
size_t put_escaped(char c, char* at) {
    std::string_view entity = html_entity(c);
    if (entity.empty()) {
        *at = c;
        return 1;
    }
    std::memcpy(at, entity.data(), entity.size());
    return entity.size();
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool is_alnum(unsigned char c) { return std::isalnum(c) != 0; }

// Non-empty, no "..", and every byte a letter, a digit or one of `extra`.
bool valid_name(const char* s, std::string_view extra) {
    if (!s || !*s || std::strstr(s, "..")) return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
        if (!is_alnum(*p) && extra.find(static_cast<char>(*p)) == std::string_view::npos) return false;
    }
    return true;
}

}  // namespace

extern "C" {

void tarn_strlcpy(char* dst, const char* src, size_t cap) {
    if (!dst || cap == 0) return;
    size_t n = 0;
    if (src) {
        while (n + 1 < cap && src[n]) {
            dst[n] = src[n];
            ++n;
        }
    }
    dst[n] = '\0';
}

int tarn_snprintf(char* dst, size_t cap, const char* fmt, ...) {
    if (!dst || cap == 0) return -1;
    va_list ap;
    va_start(ap, fmt);
    int r = std::vsnprintf(dst, cap, fmt, ap);
    va_end(ap);
    dst[cap - 1] = '\0';
    return r;
}

void tarn_rtrim(char* s) {
    if (!s) return;
    size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\n' || s[n - 1] == '\r')) --n;
    s[n] = '\0';
}

void tarn_path_join(char* dst, size_t cap, const char* dir, const char* name) {
    if (!dst || cap == 0) return;
    dst[0] = '\0';
    if (dir && *dir) tarn_strlcpy(dst, dir, cap);
    size_t len = std::strlen(dst);
    if (len > 0 && !is_separator(dst[len - 1]) && len + 1 < cap) {
        dst[len++] = '/';
        dst[len] = '\0';
    }
    if (!name || !*name || len >= cap) return;
    tarn_strlcpy(dst + len, name, cap - len);
}

void html_escape(const char* src, char* dst, size_t cap) {
    if (!dst || cap == 0) return;
    size_t w = 0;
    if (src) {
        for (const char* p = src; *p; ++p) {
            if (w + 8 >= cap) break;  // room for the longest entity (6) and the NUL
            w += put_escaped(*p, dst + w);
        }
    }
    dst[w] = '\0';
}

char* html_escape_dup(const char* src) {
    if (!src) src = "";
    size_t len = 0;
    for (const char* p = src; *p; ++p) len += escaped_size(*p);
    char* out = static_cast<char*>(std::malloc(len + 1));
    if (!out) return nullptr;
    size_t w = 0;
    for (const char* p = src; *p; ++p) w += put_escaped(*p, out + w);
    out[w] = '\0';
    return out;
}

void url_encode(const char* src, char* dst, size_t cap) {
    if (!dst || cap == 0) return;
    static const char hex[] = "0123456789ABCDEF";
    size_t w = 0;
    if (src) {
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p; ++p) {
            if (w + 4 >= cap) break;  // room for one percent escape and the NUL
            unsigned char c = *p;
            if (is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
                dst[w++] = static_cast<char>(c);
            } else {
                dst[w++] = '%';
                dst[w++] = hex[c >> 4];
                dst[w++] = hex[c & 15];
            }
        }
    }
    dst[w] = '\0';
}

int tarn_valid_repo_name(const char* s) { return valid_name(s, "-._") ? 1 : 0; }

int tarn_valid_ref(const char* s) { return valid_name(s, "-./:_") ? 1 : 0; }

}  // extern "C"
