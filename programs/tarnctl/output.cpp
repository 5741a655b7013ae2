#include "tarnctl/output.hpp"

#include <rapidjson/error/en.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "tarnctl/command.hpp"
#include "id_foundation.h"

namespace tarnctl {
namespace {

// The length of the UTF-8 character at the start of `s` (1 to 4), or 0 when the bytes there are
// not one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t utf8_length(std::string_view s) {
    const auto b = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const auto cont = [&](std::size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
        if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
        if (c == 0xF4 && b(1) >= 0x90) return 0;  // past U+10FFFF
        return 4;
    }
    return 0;
}

// Characters of a printable() text, for alignment (each escape is four).
std::size_t width(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

void append_escape(std::string& out, unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t n = utf8_length(text.substr(i));
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (n == 0 || c < 0x20 || c == 0x7F || c == '\\') {
            append_escape(out, c);
            ++i;
        } else if (c1) {
            append_escape(out, c);
            append_escape(out, static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string local_time(int64_t seconds) {
    if (seconds == 0) return "-";
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return std::to_string(seconds);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

Table::Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }

void Table::row(std::vector<std::string> cells) {
    for (auto& c : cells) c = printable(c);
    rows_.push_back(std::move(cells));
}

void Table::print(std::string_view empty) const {
    if (rows_.size() == 1 && !empty.empty()) {
        std::printf("%.*s\n", static_cast<int>(empty.size()), empty.data());
        return;
    }
    std::vector<std::size_t> widths(rows_[0].size(), 0);
    for (const auto& r : rows_)
        for (std::size_t i = 0; i < r.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], width(r[i]));
    for (const auto& r : rows_) {
        std::string line;
        for (std::size_t i = 0; i < r.size(); ++i) {
            line += r[i];
            if (i + 1 < r.size()) line.append(widths[i] - width(r[i]) + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

void Record::field(std::string name, std::string value) {
    fields_.emplace_back(std::move(name), printable(value));
}

void Record::print() const {
    std::size_t w = 0;
    for (const auto& [name, _] : fields_) w = std::max(w, name.size());
    for (const auto& [name, value] : fields_)
        std::printf("%s:%*s %s\n", name.c_str(), static_cast<int>(w - name.size()), "", value.c_str());
}

void print_json_text(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void print_json(const JsonValue& value) {
    rapidjson::StringBuffer buf;
    JsonWriter w(buf);
    value.Accept(w);
    print_json_text({buf.GetString(), buf.GetSize()});
}

std::string str_member(const JsonValue& object, const char* name) {
    if (!object.IsObject()) return {};
    auto it = object.FindMember(name);
    if (it == object.MemberEnd() || !it->value.IsString()) return {};
    return {it->value.GetString(), it->value.GetStringLength()};
}

int64_t int_member(const JsonValue& object, const char* name) {
    if (!object.IsObject()) return 0;
    auto it = object.FindMember(name);
    if (it == object.MemberEnd() || !it->value.IsInt64()) return 0;
    return it->value.GetInt64();
}

bool bool_member(const JsonValue& object, const char* name) {
    if (!object.IsObject()) return false;
    auto it = object.FindMember(name);
    return it != object.MemberEnd() && it->value.IsBool() && it->value.GetBool();
}

Listing::Listing(char* text, const char* what) {
    if (!text) throw Refusal(std::string("the library could not produce the ") + what + " (out of memory)");
    text_ = text;
    id_free(text);
    doc_.Parse<rapidjson::kParseValidateEncodingFlag>(text_.data(), text_.size());
    if (doc_.HasParseError())
        throw Refusal(std::string("the ") + what + " from the library does not parse: " +
                      rapidjson::GetParseError_En(doc_.GetParseError()));
}

}  // namespace tarnctl
