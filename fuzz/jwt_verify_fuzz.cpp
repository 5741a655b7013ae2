// id_jwt_verify and id_jwt_verify_hint on any text, with a scratch data directory made once per
// process: a keys.json holding one fixed RSA-2048 key and a fixed secret.key, the clock fixed at
// kNow. Each input is verified twice: as it is, and with its signature segment replaced by the
// HS256 signature of its signing input under the scratch secret, so that the fuzzer reaches the
// header, payload, expiry and claims rules behind a signature it could never forge. Checked
// against a reference verifier written here from the rules:
// - the result code (-1 layout, sizes, encodings, JSON, "alg"; -2 unknown key or signature;
//   -3 expired; as a hint, -4 instead of the expiry for an issuer, use, subject or audience not
//   asked for; 0), with segments over 511, 256 and 4095 decoded bytes refused;
// - on 0, every field of the claims record (first member of a name, texts cut at a NUL and at
//   255 bytes or 7 for token_use on a UTF-8 boundary, integers only, "preferred_username" only
//   when there is no "username" at all);
// - on any other result, a record left exactly as it was.
// The record lives in a heap block of its own size and the token in one of its length and NUL,
// so that AddressSanitizer reports any read or write past them. The reference checks RS256 by the
// raw RSA operation and a comparison with the two PKCS#1 v1.5 encodings of the digest (with and
// without the NULL parameters), not by the verifier under test; SHA-256 and HMAC are the
// library's primitives, checked against OpenSSL by their own tests.
#include <bearssl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "fuzz/document_reference.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference_codecs.hpp"
#include "id_foundation.h"
#include "id_jwt.h"
#include "tarn_crypto.h"

using namespace tarn::fuzz;

namespace {

constexpr std::int64_t kNow = 1800000000;
constexpr std::string_view kKid = "_QXDEq9d7v74flHX";
constexpr std::string_view kSecret = "jwt-verify fuzz secret, 32 bytes";
// The fixed key: PKCS#8 PrivateKeyInfo and its modulus, base64url.
constexpr const char* kPrivateKey =
    "MIIEvQIBADANBgkqhkiG9w0BAQEFAASCBKcwggSjAgEAAoIBAQDCN-99PdnWovTsS2x5TKsrJnTVlIGwLW6OMqXg8cOdcz0S"
    "Qde2BHnyM_TENRPozCfB8dIoT9p6HrRDpwtD3DNvFKSkpXXMsVYBkoqTbhrMhX6nSJElIi9CvwSrxYza7SlQ3u73Q9YF3_oE"
    "v82mNed0_NfY-RY6VOeZ5sghQBAKp6vbV11kVasiTnBfnSLW34oe79Q0b13QfeOlFYc3vgFKCZ6nhvdDQH7QWBONirW8E2WD"
    "o6ewp4zyWDUZiKIEEtIdI_Nu8i0hBqQbm9pSoAAkCTo-i0spCEH4KV3XMHhiTxTOhB3ELBMUT9YHAvaySrvDcdaSv8xNxsqM"
    "aniz-UvrAgMBAAECggEAImyHpkswMTrw7nDv6RANxrgqPTD1S6TB07JmdFhls6KZUIMbGMfyVVugJqbBwKFu6pFSDpMYxkxq"
    "5xLUjFKbSzT9ebFaD83e0KiIp1j8pwOCT2QtVceZWNtCmK-LJ8KhcBQThwAfDyuDxRO5_5vOSo4GNA7yQaSK6FxfXIVeUoTW"
    "gyxW6mCwf7NT-FUbV8pVyFMZ0zkpLnlCJ1EV1FfE_9SPCkI7xTLPuunpTSvMdu5irayhTlqRFbNbbHIFvw258MS6c9QxqWwI"
    "1U5ZKBgP5fVO1t2xyjir3lmuRJTnMKl7IftxosISS9WWIIRo5NI0X4KX_cLQTcOU2KfLIejlAQKBgQDikqsLKuSXMeiwCgXs"
    "3ZpYVrBLZnTU1zVdS6NDAo-eGmfUiqzM0KWeNSdmfjU8BAxkXNqO968ER52Czvqs1L_ycS0fwa-IjkVfLAkWLIF9IWV7NCy8"
    "MqwVDNBL0a0r7_MQtSzhB8Co522M-XDj0hAaltkKZQQzF9-PyiAyqhApZQKBgQDbcYOMQhbru2uqNxDIYNCIHWK_rGoKkY9j"
    "EzREyxisAqOT1fK3VKnuaI2sjRsUz2ngzC2dasfilBBbjUFkPEtFQjVYbMLf3Y-AJV2ODneMONPy9aQvlM6kTUDQeRn1lIxq"
    "z3-1XuT0zMxhP8M7k3duAcbTOSGMJqezb9oO0QzzDwKBgEB1g63wrQoKy-1RXLAvt5qMRymcY36uH2OEglUtJFjRoFqKfXDj"
    "p0qkSqpRG6oQaMog1Jk6BBPOoBQ3-H81I8rAwhq3ys2p1DioWYlybgCAgNOVW2jLbcOrWpNHeuH2KQvGz5bR0tD6zmL-EEzw"
    "VV6LLgJUDObQUu0gjxp64ZA1AoGAG5Lw76_iR26-gZ33uuYHbgMbRHB6xqcxuEZSfA51JDAUs9_fZs_5pl525ua4L248pKWj"
    "WbNwOHVYdNiUDe9RmftOzrSj7BNgE78eOVpyBSmi4FWjcuMk8BpQ-aEt9ODcoBNAvd6VsHkHeXTUqGjISgdpH2N_Zqf4zKBS"
    "aygzk1sCgYEAgjPaDfVv4V5wFzc4mxCtdBPfvHxtXJoxC3VNyYZKJHVrTbFll9USlY8CngBT3uY0Hj_DU8CRmAllcoc_ZSeY"
    "GDZ8L7mcCsgydDiuLHp8d69_oh4F8jkDx0oD-hwDDnTQUesZTtDm9UjRyCLzBEQBz7vhq72z_51vS2mFAg0nmVs";
constexpr const char* kModulus =
    "wjfvfT3Z1qL07EtseUyrKyZ01ZSBsC1ujjKl4PHDnXM9EkHXtgR58jP0xDUT6MwnwfHSKE_aeh60Q6cLQ9wzbxSkpKV1zLFW"
    "AZKKk24azIV-p0iRJSIvQr8Eq8WM2u0pUN7u90PWBd_6BL_NpjXndPzX2PkWOlTnmebIIUAQCqer21ddZFWrIk5wX50i1t-K"
    "Hu_UNG9d0H3jpRWHN74BSgmep4b3Q0B-0FgTjYq1vBNlg6OnsKeM8lg1GYiiBBLSHSPzbvItIQakG5vaUqAAJAk6PotLKQhB"
    "-Cld1zB4Yk8UzoQdxCwTFE_WBwL2skq7w3HWkr_MTcbKjGp4s_lL6w";

std::int64_t fixed_clock() { return kNow; }

std::vector<std::uint8_t> g_modulus;
const unsigned char kExponent[] = {0x01, 0x00, 0x01};

std::string b64url(const unsigned char* p, std::size_t n) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    for (std::size_t i = 0; i < n; i += 3) {
        const std::uint32_t v = (std::uint32_t(p[i]) << 16) | (i + 1 < n ? std::uint32_t(p[i + 1]) << 8 : 0) |
                                (i + 2 < n ? std::uint32_t(p[i + 2]) : 0);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        if (i + 1 < n) out += kAlphabet[(v >> 6) & 63];
        if (i + 2 < n) out += kAlphabet[v & 63];
    }
    return out;
}

// A segment decoded by the reference, or false when it does not decode or exceeds `max` bytes.
bool segment(std::string_view text, std::size_t max, std::vector<std::uint8_t>& out) {
    Base64Result r = reference_base64_decode(text);
    out = std::move(r.bytes);
    return r.ok && out.size() <= max;
}

// The signature segment must be read whole by the decoder: the position at which decoding stops
// (the end of the first group of four slots holding fewer than two data characters) may only be
// followed by padding and line breaks, and no group may hold a single data character, whose bits
// the decoder would drop.
bool read_whole(std::string_view text) {
    std::string slots;  // the text without line breaks and spaces
    for (char c : text)
        if (c != '\r' && c != '\n' && c != ' ') slots += c;
    while (slots.size() % 4 != 0) slots += '=';  // a text ending inside a group: padding
    for (std::size_t g = 0; g < slots.size(); g += 4) {
        const std::string_view group(slots.data() + g, 4);
        const std::size_t data = 4 - static_cast<std::size_t>(std::count(group.begin(), group.end(), '='));
        if (data == 1) return false;
        if (data == 0) return slots.find_first_not_of('=', g) == std::string::npos;
    }
    return true;
}

std::string_view as_text(const std::vector<std::uint8_t>& b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// The one string an RSA signature of `input` may carry once the public operation is undone:
// 00 01 FF..FF 00 DigestInfo(SHA-256, with or without NULL parameters) digest.
bool rsa_signature_ok(const std::vector<std::uint8_t>& sig, std::string_view input) {
    unsigned char x[256];
    std::memcpy(x, sig.data(), sizeof x);
    const br_rsa_public_key pk{g_modulus.data(), g_modulus.size(), const_cast<unsigned char*>(kExponent), sizeof kExponent};
    if (!br_rsa_i31_public(x, sizeof x, &pk)) return false;
    unsigned char digest[32];
    tarn_sha256(input.data(), input.size(), digest);
    static const unsigned char kWithNull[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                              0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    static const unsigned char kWithoutNull[] = {0x30, 0x2f, 0x30, 0x0b, 0x06, 0x09, 0x60, 0x86, 0x48,
                                                 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x04, 0x20};
    for (const auto& [info, len] : {std::pair{kWithNull, sizeof kWithNull}, std::pair{kWithoutNull, sizeof kWithoutNull}}) {
        std::vector<unsigned char> em = {0x00, 0x01};
        em.insert(em.end(), 256 - 3 - len - 32, 0xFF);
        em.push_back(0x00);
        em.insert(em.end(), info, info + len);
        em.insert(em.end(), digest, digest + 32);
        if (std::memcmp(em.data(), x, sizeof x) == 0) return true;
    }
    return false;
}

void put_text(char* dst, std::size_t cap, const tarn::Value* v) {
    std::string_view s = v && v->IsString() ? text_of(*v) : std::string_view{};
    s = s.substr(0, s.find('\0'));
    std::size_t len = s.size();
    if (len > cap - 1) {
        len = cap - 1;
        while (len > 0 && (static_cast<unsigned char>(s[len]) & 0xC0) == 0x80) --len;
    }
    if (len > 0) std::memcpy(dst, s.data(), len);
}

std::int64_t integer(const tarn::Value* v) {
    if (!v) return 0;
    if (v->IsInt64()) return v->GetInt64();
    if (v->IsUint64()) return std::numeric_limits<std::int64_t>::max();
    return 0;
}

// The audience a hint is checked for ("" any); hints are always checked for kIssuer.
constexpr std::string_view kIssuer = "https://id/";

bool text_is(const tarn::Value* v, std::string_view want) { return v && v->IsString() && text_of(*v) == want; }

int expected(std::string_view token, id_jwt_claims& c, const std::string_view* hint_audience = nullptr) {
    const std::size_t d1 = token.find('.');
    const std::size_t d2 = d1 == std::string_view::npos ? d1 : token.find('.', d1 + 1);
    if (token.empty() || d2 == std::string_view::npos) return -1;
    const std::string_view input = token.substr(0, d2);

    std::vector<std::uint8_t> header, sig, payload;
    tarn::Document head;
    if (!segment(token.substr(0, d1), 511, header) || !tarn::parse_json(as_text(header), head)) return -1;
    const tarn::Value* alg_v = head.IsObject() ? first_member(head, "alg") : nullptr;
    const tarn::Value* kid_v = head.IsObject() ? first_member(head, "kid") : nullptr;
    const std::string_view alg = alg_v && alg_v->IsString() ? text_of(*alg_v) : "";
    const std::string_view kid = kid_v && kid_v->IsString() ? text_of(*kid_v) : "";
    if (alg.empty()) return -1;
    if (!segment(token.substr(d2 + 1), 256, sig) || !read_whole(token.substr(d2 + 1))) return -1;
    if (alg == "HS256") {
        if (sig.size() != 32) return -1;
        unsigned char mac[32];
        tarn_hmac_sha256(kSecret.data(), kSecret.size(), input.data(), input.size(), mac);
        if (std::memcmp(mac, sig.data(), 32) != 0) return -2;
    } else if (alg == "RS256") {
        if (sig.size() != 256) return -1;
        if (kid != kKid || !rsa_signature_ok(sig, input)) return -2;
    } else {
        return -1;
    }

    tarn::Document body;
    if (!segment(token.substr(d1 + 1, d2 - d1 - 1), 4095, payload) || !tarn::parse_json(as_text(payload), body) ||
        !body.IsObject())
        return -1;
    const std::int64_t exp = integer(first_member(body, "exp"));
    if (hint_audience) {
        const tarn::Value* sub = first_member(body, "sub");
        if (!text_is(first_member(body, "iss"), kIssuer) || !text_is(first_member(body, "token_use"), "id") ||
            !sub || !sub->IsString() || text_of(*sub).empty() ||
            (!hint_audience->empty() && !text_is(first_member(body, "aud"), *hint_audience)))
            return -4;
    } else if (exp != 0 && exp < kNow) {
        return -3;
    }
    std::memset(&c, 0, sizeof c);
    put_text(c.iss, sizeof c.iss, first_member(body, "iss"));
    put_text(c.sub, sizeof c.sub, first_member(body, "sub"));
    const tarn::Value* username = first_member(body, "username");
    put_text(c.username, sizeof c.username, username ? username : first_member(body, "preferred_username"));
    put_text(c.email, sizeof c.email, first_member(body, "email"));
    put_text(c.aud, sizeof c.aud, first_member(body, "aud"));
    {
        const tarn::Value* scope = first_member(body, "scope");
        const std::string list = scope_list_in_record(scope && scope->IsString() ? text_of(*scope) : "", sizeof c.scope);
        std::memcpy(c.scope, list.data(), list.size());
    }
    put_text(c.jti, sizeof c.jti, first_member(body, "jti"));
    put_text(c.token_use, sizeof c.token_use, first_member(body, "token_use"));
    c.exp = exp;
    c.iat = integer(first_member(body, "iat"));
    return 0;
}

void check(std::string_view token) {
    token = token.substr(0, token.find('\0'));  // what a C caller passes
    ExactBuffer text(token.size() + 1);
    std::memcpy(text.chars(), token.data(), token.size());
    text.chars()[token.size()] = '\0';

    id_jwt_claims want;
    std::memset(&want, 0x5A, sizeof want);
    const int want_result = expected(token, want);

    auto got = std::make_unique<id_jwt_claims>();
    std::memset(got.get(), 0x5A, sizeof *got);
    FUZZ_CHECK(id_jwt_verify(text.chars(), got.get()) == want_result);
    FUZZ_CHECK(std::memcmp(got.get(), &want, sizeof want) == 0);  // filled as the rules say, or untouched
    FUZZ_CHECK(id_jwt_verify(text.chars(), nullptr) == want_result);

    // As a hint, for any audience and for "c1".
    for (const std::string_view audience : {std::string_view(), std::string_view("c1")}) {
        std::memset(&want, 0x5A, sizeof want);
        const int want_hint = expected(token, want, &audience);
        std::memset(got.get(), 0x5A, sizeof *got);
        const std::string aud(audience);
        FUZZ_CHECK(id_jwt_verify_hint(text.chars(), std::string(kIssuer).c_str(), aud.c_str(), got.get()) == want_hint);
        FUZZ_CHECK(std::memcmp(got.get(), &want, sizeof want) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"IDENTITY_PORT", "IDENTITY_ADMIN_SECRET", "IDENTITY_BASE_URL"}) ::unsetenv(name);
    const std::string data = scratch_dir("jwt") + "/data";
    ::setenv("IDENTITY_DATA_DIR", data.c_str(), 1);
    std::string keys = std::string("{\"active\":\"") + std::string(kKid) + "\",\"keys\":[{\"kid\":\"" + std::string(kKid) +
                       "\",\"created\":1,\"alg\":\"RS256\",\"priv_der_b64\":\"" + kPrivateKey + "\",\"status\":\"active\"}]}";
    char path[1024];
    id_get_file_path("keys.json", path, sizeof path);  // creates the data directory
    write_whole_file(path, keys);
    id_get_file_path("secret.key", path, sizeof path);
    write_whole_file(path, kSecret);
    g_modulus = reference_base64_decode(kModulus).bytes;
    FUZZ_CHECK(g_modulus.size() == 256);
    tarn::testing::set_clock(&fixed_clock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    check(input);
    // The same signing input under a valid HS256 signature.
    const std::string_view token = input.substr(0, input.find('\0'));
    const std::size_t d1 = token.find('.');
    const std::size_t d2 = d1 == std::string_view::npos ? d1 : token.find('.', d1 + 1);
    if (d2 != std::string_view::npos) {
        const std::string_view signing_input = token.substr(0, d2);
        unsigned char mac[32];
        tarn_hmac_sha256(kSecret.data(), kSecret.size(), signing_input.data(), signing_input.size(), mac);
        check(std::string(signing_input) + "." + b64url(mac, sizeof mac));
    }
    return 0;
}
