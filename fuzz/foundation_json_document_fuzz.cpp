// JSON documents: the strict reader against a reference recogniser of the JSON grammar (RFC 8259,
// valid UTF-8, surrogate escapes only in pairs, at most 128 nested arrays and objects), and the
// writer:
// - the reader accepts nothing the recogniser rejects, and rejects what it accepts only for a
//   number beyond the range of a double (in value or in a written exponent above 308);
// - every string of a parsed document is valid UTF-8; an integer literal within 64 bits is held
//   as that integer, every other number as a double near its value (see `near`);
// - parse -> write compact -> parse gives the same document (doubles near), and for a document
//   without doubles the same compact text; the pretty text is the compact text with whitespace
//   between the tokens;
// - a string that is not valid UTF-8 is never written, one that is comes back byte for byte.
//
// Input: the JSON text; the same bytes are also used as a raw string value and member name.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/document.hpp"
#include "fuzz/document_reference.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference_codecs.hpp"
#include "id_foundation.h"

using namespace tarn::fuzz;

namespace {

// The deepest nesting of arrays and objects a document may have.
constexpr int kMaxDepth = 128;

// A recursive-descent recogniser of one JSON text, written from the grammar.
class Recogniser {
public:
    explicit Recogniser(std::string_view s) : s_(s) {}

    // True when the whole input is one JSON value with optional whitespace around it, nested at
    // most kMaxDepth levels.
    bool text() {
        ws();
        if (!value()) return false;
        ws();
        return i_ == s_.size();
    }
    // A number was seen whose value is beyond the normal range of a double (too large, or too
    // small to be stored at full precision), or whose written exponent is above 308 (the reader
    // refuses "0e400" too).
    bool out_of_range_number() const { return out_of_range_; }
    // The number literals, in document order.
    const std::vector<std::string>& numbers() const { return numbers_; }

private:
    bool at_end() const { return i_ >= s_.size(); }
    char peek() const { return at_end() ? '\0' : s_[i_]; }
    bool eat(char c) {
        if (at_end() || s_[i_] != c) return false;
        ++i_;
        return true;
    }
    void ws() {
        while (!at_end() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }
    bool value() {
        switch (peek()) {
            case '{':
            case '[': {
                if (depth_ == kMaxDepth) return false;
                ++depth_;
                const bool ok = peek() == '{' ? object() : array();
                --depth_;
                return ok;
            }
            case '"': return string();
            case 't': return literal("true");
            case 'f': return literal("false");
            case 'n': return literal("null");
            default: return number();
        }
    }
    bool object() {
        eat('{');
        ws();
        if (eat('}')) return true;
        for (;;) {
            ws();
            if (peek() != '"' || !string()) return false;
            ws();
            if (!eat(':')) return false;
            ws();
            if (!value()) return false;
            ws();
            if (eat('}')) return true;
            if (!eat(',')) return false;
        }
    }
    bool array() {
        eat('[');
        ws();
        if (eat(']')) return true;
        for (;;) {
            ws();
            if (!value()) return false;
            ws();
            if (eat(']')) return true;
            if (!eat(',')) return false;
        }
    }
    bool hex4(unsigned& out) {
        out = 0;
        for (int k = 0; k < 4; ++k) {
            const int d = hex_digit(static_cast<unsigned char>(peek()));
            if (at_end() || d < 0) return false;
            out = out * 16 + static_cast<unsigned>(d);
            ++i_;
        }
        return true;
    }
    bool string() {
        eat('"');
        const std::size_t start = i_;
        for (;;) {
            if (at_end()) return false;
            const unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') break;
            if (c < 0x20) return false;
            if (c != '\\') {
                ++i_;
                continue;
            }
            ++i_;
            const char e = peek();
            if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
                ++i_;
                continue;
            }
            if (e != 'u') return false;
            ++i_;
            unsigned cp;
            if (!hex4(cp)) return false;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a low surrogate on its own
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                unsigned low;
                if (!eat('\\') || !eat('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            }
        }
        const std::string_view raw = s_.substr(start, i_ - start);
        ++i_;  // the closing quote
        return utf8_valid(raw);
    }
    bool digits() {
        const std::size_t from = i_;
        while (!at_end() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return i_ > from;
    }
    bool number() {
        const std::size_t start = i_;
        eat('-');
        if (eat('0')) {
            // a single zero: no further digits may follow it
        } else if (peek() >= '1' && peek() <= '9') {
            digits();
        } else {
            return false;
        }
        if (eat('.') && !digits()) return false;
        if (peek() == 'e' || peek() == 'E') {
            ++i_;
            if (!eat('+')) eat('-');
            if (!digits()) return false;
        }
        std::string lit(s_.substr(start, i_ - start));
        const std::size_t e = lit.find_first_of("eE");
        const double v = std::strtod(lit.c_str(), nullptr);
        const bool nonzero = lit.substr(0, e).find_first_of("123456789") != std::string::npos;
        if (std::isinf(v) || (nonzero && std::fabs(v) < DBL_MIN) ||
            (e != std::string::npos && std::strtol(lit.c_str() + e + 1, nullptr, 10) > 308))
            out_of_range_ = true;
        numbers_.push_back(std::move(lit));
        return true;
    }

    std::string_view s_;
    std::size_t i_ = 0;
    int depth_ = 0;
    bool out_of_range_ = false;
    std::vector<std::string> numbers_;
};

// Every string and member name of `v` is valid UTF-8.
bool all_strings_valid(const tarn::Value& v) {
    if (v.IsString()) return utf8_valid(text_of(v));
    if (v.IsArray()) {
        for (const auto& el : v.GetArray())
            if (!all_strings_valid(el)) return false;
    }
    if (v.IsObject()) {
        for (const auto& m : v.GetObject()) {
            if (!utf8_valid(text_of(m.name))) return false;
            if (!all_strings_valid(m.value)) return false;
        }
    }
    return true;
}

// The numbers of `v` in document order.
void collect_numbers(const tarn::Value& v, std::vector<const tarn::Value*>& out) {
    if (v.IsNumber()) out.push_back(&v);
    if (v.IsArray())
        for (const auto& el : v.GetArray()) collect_numbers(el, out);
    if (v.IsObject())
        for (const auto& m : v.GetObject()) collect_numbers(m.value, out);
}

// `got` is near `want`, a value written with `digits` digits. Numbers with a fraction or an
// exponent are read in double arithmetic, not correctly rounded: each digit read may round twice
// (a multiplication and an addition) and the scaling by powers of ten a few times more, so the
// relative error stays within (digits + 8) * 2^-51, and a subnormal result within one more
// subnormal step. A value beyond the largest double counts as the largest double.
bool near(double got, double want, std::size_t digits) {
    if (std::isinf(want)) want = std::copysign(DBL_MAX, want);
    const double tolerance = std::fabs(want) * static_cast<double>(digits + 8) * 0x1p-51 + 0x1p-1073;
    return std::isfinite(got) && std::fabs(got - want) <= tolerance;
}

// A number of the document holds the value of its literal: an integer literal within 64 bits as
// that integer, any other number as a double near its value.
bool holds_literal(const tarn::Value& v, const std::string& lit) {
    if (lit.find_first_of(".eE") == std::string::npos) {
        errno = 0;
        if (lit[0] == '-') {
            const long long i = std::strtoll(lit.c_str(), nullptr, 10);
            if (errno == 0) return v.IsInt64() && v.GetInt64() == i;
        } else {
            const unsigned long long u = std::strtoull(lit.c_str(), nullptr, 10);
            if (errno == 0) return v.IsUint64() && v.GetUint64() == u;
        }
    }
    const std::string mantissa = lit.substr(0, lit.find_first_of("eE"));
    const auto digits = static_cast<std::size_t>(std::count_if(mantissa.begin(), mantissa.end(), ::isdigit));
    return v.IsDouble() && near(v.GetDouble(), std::strtod(lit.c_str(), nullptr), digits);
}

// True when a number of `v` is held as a double.
bool has_double(const tarn::Value& v) {
    std::vector<const tarn::Value*> numbers;
    collect_numbers(v, numbers);
    return std::any_of(numbers.begin(), numbers.end(), [](const tarn::Value* n) { return n->IsDouble(); });
}

// The same structure, member names, strings and numbers (doubles near each other: written with
// at most 17 significant digits and read back), members in the same order.
bool same_document(const tarn::Value& a, const tarn::Value& b) {
    if (a.GetType() != b.GetType()) return false;
    if (a.IsString())
        return text_of(a) == text_of(b);
    if (a.IsNumber()) {
        if (a.IsInt64() != b.IsInt64() || a.IsUint64() != b.IsUint64()) return false;
        if (a.IsInt64()) return a.GetInt64() == b.GetInt64();
        if (a.IsUint64()) return a.GetUint64() == b.GetUint64();
        return near(b.GetDouble(), a.GetDouble(), 17);
    }
    if (a.IsArray()) {
        if (a.Size() != b.Size()) return false;
        for (rapidjson::SizeType i = 0; i < a.Size(); ++i)
            if (!same_document(a[i], b[i])) return false;
    }
    if (a.IsObject()) {
        if (a.MemberCount() != b.MemberCount()) return false;
        for (auto x = a.MemberBegin(), y = b.MemberBegin(); x != a.MemberEnd(); ++x, ++y)
            if (!same_document(x->name, y->name) || !same_document(x->value, y->value)) return false;
    }
    return true;
}

// `text` without the whitespace between its tokens (string contents are kept).
std::string without_token_space(std::string_view text) {
    std::string out;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            out.push_back(c);
            if (c == '\\' && i + 1 < text.size()) {
                out.push_back(text[++i]);
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
            out.push_back(c);
        } else if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
            out.push_back(c);
        }
    }
    return out;
}

void check_parse_and_write(std::string_view text) {
    Recogniser grammar(text);
    const bool grammatical = grammar.text();
    tarn::Document doc;
    const bool parsed = tarn::parse_json(text, doc);

    FUZZ_CHECK(!parsed || grammatical);                                   // never more lenient
    FUZZ_CHECK(parsed || !grammatical || grammar.out_of_range_number());  // never stricter, but for range
    FUZZ_CHECK(parsed || doc.IsNull());

    id_json_doc* c_doc = id_json_doc_parse(text.data(), text.size());
    FUZZ_CHECK((c_doc != nullptr) == parsed);
    if (!parsed) return;

    FUZZ_CHECK(all_strings_valid(doc));
    std::vector<const tarn::Value*> numbers;
    collect_numbers(doc, numbers);
    FUZZ_CHECK(numbers.size() == grammar.numbers().size());
    for (std::size_t i = 0; i < numbers.size(); ++i) FUZZ_CHECK(holds_literal(*numbers[i], grammar.numbers()[i]));

    // A double read back from its shortest text may land a unit away, so the texts are compared
    // only for documents without doubles (every store document).
    const bool exact = !has_double(doc);
    std::string compact;
    FUZZ_CHECK(tarn::write_json(doc, false, compact));
    tarn::Document again;
    FUZZ_CHECK(tarn::parse_json(compact, again));
    FUZZ_CHECK(same_document(again, doc));
    std::string compact2;
    FUZZ_CHECK(tarn::write_json(again, false, compact2));
    FUZZ_CHECK(!exact || compact2 == compact);

    std::string pretty;
    FUZZ_CHECK(tarn::write_json(doc, true, pretty));
    FUZZ_CHECK(pretty.empty() || pretty.back() != '\n');
    FUZZ_CHECK(without_token_space(pretty) == compact);
    tarn::Document from_pretty;
    FUZZ_CHECK(tarn::parse_json(pretty, from_pretty));
    FUZZ_CHECK(same_document(from_pretty, doc));
    std::string compact3;
    FUZZ_CHECK(tarn::write_json(from_pretty, false, compact3));
    FUZZ_CHECK(!exact || compact3 == compact);

    char* c_text = id_json_doc_write(c_doc, 0);
    FUZZ_CHECK(c_text != nullptr && compact == c_text);
    id_free(c_text);
    id_json_doc_free(c_doc);
}

// The raw bytes as a string value and as a member name: written only when valid UTF-8, and then
// read back unchanged.
void check_raw_string(std::string_view bytes) {
    const bool valid = utf8_valid(bytes);
    tarn::Document doc;
    auto& a = doc.GetAllocator();
    doc.SetObject();
    doc.AddMember(tarn::Value(bytes.data(), static_cast<rapidjson::SizeType>(bytes.size()), a),
                  tarn::Value(bytes.data(), static_cast<rapidjson::SizeType>(bytes.size()), a), a);
    for (bool pretty : {false, true}) {
        std::string out = "unchanged";
        const bool written = tarn::write_json(doc, pretty, out);
        FUZZ_CHECK(written == valid);
        if (!written) {
            FUZZ_CHECK(out == "unchanged");
            continue;
        }
        FUZZ_CHECK(utf8_valid(out));
        tarn::Document back;
        FUZZ_CHECK(tarn::parse_json(out, back));
        FUZZ_CHECK(back.IsObject() && back.MemberCount() == 1);
        const auto& m = *back.MemberBegin();
        FUZZ_CHECK(text_of(m.name) == bytes);
        FUZZ_CHECK(m.value.IsString());
        FUZZ_CHECK(text_of(m.value) == bytes);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_parse_and_write(text);
    check_raw_string(text);
    return 0;
}
