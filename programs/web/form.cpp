#include "web/form.hpp"

namespace web {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes one name or value into `out`; false on a broken escape, a NUL or an overlong result.
bool decode(std::string_view in, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            if (i + 2 >= in.size()) return false;
            const int hi = hex_digit(in[i + 1]);
            const int lo = hex_digit(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (c == '\0' || out.size() >= Form::kMaxValue) return false;
        out.push_back(c);
    }
    return true;
}

}  // namespace

bool Form::parse(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> fields;
    while (!text.empty()) {
        const std::size_t amp = text.find('&');
        const std::string_view part = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        if (part.empty()) continue;
        if (fields.size() >= kMaxFields) return false;
        const std::size_t eq = part.find('=');
        std::string name, value;
        if (!decode(part.substr(0, eq), name)) return false;
        if (eq != std::string_view::npos && !decode(part.substr(eq + 1), value)) return false;
        fields.emplace_back(std::move(name), std::move(value));
    }
    fields_ = std::move(fields);
    return true;
}

std::string_view Form::get(std::string_view name) const {
    for (const auto& [n, v] : fields_)
        if (n == name) return v;
    return {};
}

bool Form::has(std::string_view name) const { return count(name) > 0; }

std::size_t Form::count(std::string_view name) const {
    std::size_t n = 0;
    for (const auto& field : fields_) n += field.first == name;
    return n;
}

std::string_view Form::repeated(std::initializer_list<std::string_view> names) const {
    for (std::string_view name : names)
        if (count(name) > 1) return name;
    return {};
}

void Form::add(std::string name, std::string value) { fields_.emplace_back(std::move(name), std::move(value)); }

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (len == 0 || i + len > text.size()) return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        const auto second = static_cast<unsigned char>(text[i + 1 < text.size() ? i + 1 : i]);
        if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) || (c == 0xF0 && second < 0x90) ||
            (c == 0xF4 && second > 0x8F))
            return false;  // overlong, a surrogate, or past U+10FFFF
        i += len;
    }
    return true;
}

std::string url_encode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

std::string form_encode(const Form& form) {
    std::string out;
    for (const auto& [name, value] : form.fields()) {
        if (!out.empty()) out.push_back('&');
        out += url_encode(name);
        out.push_back('=');
        out += url_encode(value);
    }
    return out;
}

std::string form_encode_compact(const Form& form) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    auto put = [&out](std::string_view text) {
        for (const char ch : text) {
            if (ch == '%' || ch == '&' || ch == '=' || ch == '+') {
                const auto c = static_cast<unsigned char>(ch);
                out.push_back('%');
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 15]);
            } else {
                out.push_back(ch);
            }
        }
    };
    for (const auto& [name, value] : form.fields()) {
        if (!out.empty()) out.push_back('&');
        put(name);
        out.push_back('=');
        put(value);
    }
    return out;
}

}  // namespace web
