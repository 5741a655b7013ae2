// Hex: the decoder against the reference decoder at every capacity (result, bytes written, nothing
// written past them); the encoder's all-or-nothing capacity rule; encode -> decode round trips in
// lower and upper case.
//
// Input: one byte choosing the output capacity, then the text (decoded) which is also the data
// (encoded).
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference_codecs.hpp"
#include "tarn_crypto.h"

using namespace tarn::fuzz;

namespace {

void check_decode(std::string_view text, std::size_t cap) {
    const HexResult ref = reference_hex_decode(text, cap);
    ExactBuffer out(cap);
    const int r = tarn_hex_decode(text.data(), text.size(), out.bytes(), cap);
    FUZZ_CHECK(r == ref.result);
    FUZZ_CHECK(ref.bytes.empty() || std::memcmp(out.bytes(), ref.bytes.data(), ref.bytes.size()) == 0);
    FUZZ_CHECK(out.untouched_from(ref.bytes.size()));
}

void check_round_trip(std::string_view data) {
    const std::size_t n = data.size();
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string expect;
    for (unsigned char c : data) {
        expect.push_back(kDigits[c >> 4]);
        expect.push_back(kDigits[c & 15]);
    }

    // No room for the NUL: nothing at all is written.
    ExactBuffer small(2 * n);
    tarn_hex_encode(data.data(), n, small.chars(), 2 * n);
    FUZZ_CHECK(small.untouched_from(0));

    ExactBuffer exact(2 * n + 1);
    tarn_hex_encode(data.data(), n, exact.chars(), 2 * n + 1);
    FUZZ_CHECK(std::memcmp(exact.chars(), expect.c_str(), 2 * n + 1) == 0);

    std::string upper = expect;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string* text : {&expect, &upper}) {
        ExactBuffer back(n);
        FUZZ_CHECK(tarn_hex_decode(text->data(), text->size(), back.bytes(), n) == static_cast<int>(n));
        FUZZ_CHECK(n == 0 || std::memcmp(back.bytes(), data.data(), n) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t sel = in.byte();
    const std::string_view text = in.rest();
    check_decode(text, pick_capacity(sel, text.size() / 2));
    check_round_trip(text);
    return 0;
}
