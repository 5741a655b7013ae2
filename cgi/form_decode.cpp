// The form-encoded parameter scanner: segment walk and percent decoding.
#include "cgi/form_decode.hpp"

namespace tarn::cgi {
namespace {

int hex_value(char ch) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hands each decoded byte of `value` to `put`, which returns false to stop.
template <class Put>
void unescape(std::string_view value, Put&& put) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && value.size() - i > 2) {
            const int hi = hex_value(value[i + 1]);
            const int lo = hex_value(value[i + 2]);
            if (hi >= 0 && lo >= 0) {
                c = static_cast<char>((hi << 4) | lo);
                i += 2;
            }
        }  // a "%" without two hex digits after it stays as it is
        if (!put(c)) return;
    }
}

void decode_value(std::string_view value, char* out, std::size_t cap) {
    std::size_t n = 0;
    unescape(value, [&](char c) {
        if (n == cap - 1) return false;
        out[n++] = c;
        return true;
    });
    out[n] = '\0';
}

}  // namespace

std::optional<std::string> form_unescape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    bool text = true;
    unescape(value, [&](char c) {
        text = c != '\0';
        if (text) out.push_back(c);
        return text;
    });
    if (!text) return std::nullopt;
    return out;
}

bool find_form_value(std::string_view encoded, std::string_view name, char* out, std::size_t cap) {
    std::size_t pos = 0;
    while (pos < encoded.size()) {
        std::size_t end = encoded.find('&', pos);
        if (end == std::string_view::npos) end = encoded.size();
        const std::string_view segment = encoded.substr(pos, end - pos);
        if (!segment.empty()) {
            const std::size_t eq = segment.find('=');
            if (segment.substr(0, eq) == name) {
                decode_value(eq == std::string_view::npos ? std::string_view{} : segment.substr(eq + 1),
                             out, cap);
                return true;
            }
        }
        pos = end + 1;
    }
    return false;
}

}  // namespace tarn::cgi
