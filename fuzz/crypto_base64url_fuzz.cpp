// base64url: the lenient decoder against the reference decoder, at every capacity; the encoder's
// length, alphabet and capacity rule; and encode -> decode round trips through the forms the
// decoder also accepts (standard alphabet, padding, line breaks and spaces).
//
// Input: one byte choosing the output capacity, then the text (decoded) which is also the data
// (encoded).
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference_codecs.hpp"
#include "tarn_crypto.h"

using namespace tarn::fuzz;

namespace {

constexpr std::uint64_t kUnset = 0xDEADBEEFDEADBEEFull;

void check_decode(std::string_view text, std::size_t cap) {
    const Base64Result ref = reference_base64_decode(text);
    const std::size_t expect_written = ref.bytes.size() < cap ? ref.bytes.size() : cap;

    ExactBuffer out(cap);
    std::uint64_t len = kUnset;
    const int r = tarn_base64url_decode(text.data(), text.size(), out.bytes(), cap, &len);
    FUZZ_CHECK(r == (ref.ok ? 0 : -1));
    FUZZ_CHECK(expect_written == 0 || std::memcmp(out.bytes(), ref.bytes.data(), expect_written) == 0);
    FUZZ_CHECK(out.untouched_from(expect_written));
    if (ref.ok) {
        FUZZ_CHECK(len == expect_written);
    } else {
        FUZZ_CHECK(len == kUnset);  // the length is not reported on failure
    }

    // Without a length pointer: same result, same bytes.
    ExactBuffer again(cap);
    FUZZ_CHECK(tarn_base64url_decode(text.data(), text.size(), again.bytes(), cap, nullptr) == r);
    FUZZ_CHECK(expect_written == 0 || std::memcmp(again.bytes(), out.bytes(), expect_written) == 0);
}

// Decodes `text` with ample room and requires exactly `data`.
void check_decodes_to(const std::string& text, std::string_view data) {
    ExactBuffer out(data.size());
    std::uint64_t len = kUnset;
    FUZZ_CHECK(tarn_base64url_decode(text.data(), text.size(), out.bytes(), data.size(), &len) == 0);
    FUZZ_CHECK(len == data.size());
    FUZZ_CHECK(data.empty() || std::memcmp(out.bytes(), data.data(), data.size()) == 0);
}

bool in_url_alphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

void check_round_trip(std::string_view data, std::uint8_t shape) {
    const std::size_t n = data.size();
    const std::size_t text_len = 4 * (n / 3) + (n % 3 == 0 ? 0 : n % 3 + 1);

    // One byte short of the NUL: refused, nothing written.
    ExactBuffer small(text_len);
    FUZZ_CHECK(tarn_base64url_encode(data.data(), n, small.chars(), text_len) == -1);
    FUZZ_CHECK(small.untouched_from(0));

    ExactBuffer exact(text_len + 1);
    FUZZ_CHECK(tarn_base64url_encode(data.data(), n, exact.chars(), text_len + 1) == static_cast<int>(text_len));
    FUZZ_CHECK(exact.chars()[text_len] == '\0');
    const std::string text(exact.chars(), text_len);
    for (char c : text) FUZZ_CHECK(in_url_alphabet(c));

    check_decodes_to(text, data);

    // The same bytes in the standard alphabet, padded to whole groups, with a line break or a
    // space every few characters: the decoder reads them all alike.
    std::string other;
    const std::size_t every = 1 + shape % 16;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (shape & 0x10) c = c == '-' ? '+' : c == '_' ? '/' : c;
        other.push_back(c);
        if ((shape & 0x20) && (i + 1) % every == 0) other += (shape & 0x40) ? "\r\n" : " ";
    }
    if (shape & 0x80) {
        // Padding to whole groups; a further group of padding alone ends the text.
        other.append((4 - text_len % 4) % 4, '=');
        if (shape & 0x08) other += "====";
    }
    check_decodes_to(other, data);

    // One byte less room: the last byte is dropped, the rest is the same.
    if (n > 0) {
        ExactBuffer cut(n - 1);
        std::uint64_t len = kUnset;
        FUZZ_CHECK(tarn_base64url_decode(text.data(), text.size(), cut.bytes(), n - 1, &len) == 0);
        FUZZ_CHECK(len == n - 1);
        FUZZ_CHECK(n == 1 || std::memcmp(cut.bytes(), data.data(), n - 1) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t sel = in.byte();
    const std::string_view text = in.rest();
    const Base64Result full = reference_base64_decode(text);
    check_decode(text, pick_capacity(sel, full.bytes.size()));
    check_round_trip(text, sel);
    return 0;
}
