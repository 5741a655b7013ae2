// RSA private keys as the rules define them, for the oracles of the key targets: a walk of the two
// DER layouts, schoolbook big-number arithmetic, the verdict on whether a key's numbers agree,
// and the key identifier of a public key. Slow and obvious on purpose; nothing here calls the key
// module (SHA-256 comes from the crypto module, which has known-answer tests of its own).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tarn_crypto.h"

namespace tarn::fuzz {

// ---- unsigned integers as little-endian 32-bit limbs ----

using Big = std::vector<std::uint32_t>;

inline Big big_from(const unsigned char* s, std::size_t len) {
    Big out((len + 3) / 4 + 1, 0);
    for (std::size_t i = 0; i < len; ++i) out[i / 4] |= std::uint32_t{s[len - 1 - i]} << (8 * (i % 4));
    return out;
}

inline std::uint32_t big_limb(const Big& a, std::size_t i) { return i < a.size() ? a[i] : 0; }

inline int big_compare(const Big& a, const Big& b) {
    for (std::size_t i = std::max(a.size(), b.size()); i-- > 0;)
        if (big_limb(a, i) != big_limb(b, i)) return big_limb(a, i) < big_limb(b, i) ? -1 : 1;
    return 0;
}

// a -= b, for b <= a.
inline void big_subtract(Big& a, const Big& b) {
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::int64_t t = std::int64_t{a[i]} - big_limb(b, i) - borrow;
        borrow = t < 0;
        a[i] = static_cast<std::uint32_t>(t + (borrow << 32));
    }
}

inline Big big_multiply(const Big& a, const Big& b) {
    Big out(a.size() + b.size(), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            const std::uint64_t t = std::uint64_t{a[i]} * b[j] + out[i + j] + carry;
            out[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        out[i + b.size()] = static_cast<std::uint32_t>(carry);
    }
    return out;
}

// x mod m, one bit at a time; m must not be zero.
inline Big big_mod(const Big& x, const Big& m) {
    Big r(m.size() + 1, 0);
    for (std::size_t bit = x.size() * 32; bit-- > 0;) {
        std::uint32_t carry = (x[bit / 32] >> (bit % 32)) & 1;
        for (auto& l : r) {
            const std::uint32_t top = l >> 31;
            l = (l << 1) | carry;
            carry = top;
        }
        if (big_compare(r, m) >= 0) big_subtract(r, m);
    }
    return r;
}

inline bool big_equals(const Big& a, std::uint32_t v) { return big_compare(a, Big{v}) == 0; }

// Minimal unsigned big-endian bytes (empty for zero).
inline std::vector<unsigned char> big_bytes(const Big& a) {
    std::vector<unsigned char> out;
    for (std::size_t i = a.size() * 4; i-- > 0;) {
        const auto b = static_cast<unsigned char>(a[i / 4] >> (8 * (i % 4)));
        if (b != 0 || !out.empty()) out.push_back(b);
    }
    return out;
}

// ---- the DER layouts ----

// Bytes inside the input.
struct Span {
    const unsigned char* p = nullptr;
    std::size_t len = 0;
    bool operator==(const Span& o) const { return len == o.len && (len == 0 || p == o.p); }
    Big big() const { return big_from(p, len); }
    std::vector<unsigned char> bytes() const { return {p, p + len}; }
};

// An INTEGER's magnitude: its content without leading zero bytes.
inline Span magnitude(Span v) {
    while (v.len > 0 && v.p[0] == 0) ++v.p, --v.len;
    return v;
}

// One element: a tag byte, a definite length (short form, or long form in one or two octets: a
// key of at most 4 KiB needs no more) and its content, which must end within [p, end).
inline bool der_element(const unsigned char*& p, const unsigned char* end, unsigned& tag, Span& content) {
    if (end - p < 2) return false;
    tag = *p++;
    std::size_t len = *p++;
    if (len & 0x80) {
        const std::size_t octets = len & 0x7F;
        if (octets == 0 || octets > 2 || static_cast<std::size_t>(end - p) < octets) return false;
        len = 0;
        for (std::size_t i = 0; i < octets; ++i) len = (len << 8) | *p++;
    }
    if (static_cast<std::size_t>(end - p) < len) return false;
    content = {p, len};
    p += len;
    return true;
}

// The INTEGERs of an RSAPrivateKey: version, n, e, d, p, q, dp, dq, iq (contents as written).
enum KeyField { kVersion, kN, kE, kD, kP, kQ, kDp, kDq, kIq, kFields };
using DerKey = std::array<Span, kFields>;

// Walks an RSA private key: a PrivateKeyInfo SEQUENCE { INTEGER 0, SEQUENCE { rsaEncryption OID,
// NULL or nothing }, OCTET STRING holding an RSAPrivateKey, [0] attributes or nothing }, or an
// RSAPrivateKey alone: SEQUENCE { INTEGER 0, then eight positive INTEGERs n, e, d, p, q, dp, dq,
// iq }, e of at most four bytes. The outer element spans exactly `size` bytes. True for such a key.
inline bool walk_rsa_der(const unsigned char* der, std::size_t size, DerKey& key, bool wrapped = false) {
    static constexpr unsigned char kRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const unsigned char* p = der;
    const unsigned char* end = der + size;
    unsigned tag;
    Span c;
    if (!der_element(p, end, tag, c) || tag != 0x30 || p != end) return false;
    p = c.p;
    end = c.p + c.len;
    Span version;
    if (!der_element(p, end, tag, version) || tag != 0x02 || version.len != 1 || version.p[0] != 0) return false;
    const unsigned char* after_version = p;
    if (!der_element(p, end, tag, c)) return false;
    if (tag == 0x30) {  // a PrivateKeyInfo, which cannot wrap another
        if (wrapped) return false;
        const unsigned char* a = c.p;
        const unsigned char* a_end = c.p + c.len;
        Span oid, param;
        if (!der_element(a, a_end, tag, oid) || tag != 0x06 || oid.len != sizeof kRsaEncryption ||
            std::memcmp(oid.p, kRsaEncryption, oid.len) != 0)
            return false;
        if (a != a_end && (!der_element(a, a_end, tag, param) || tag != 0x05 || param.len != 0 || a != a_end))
            return false;
        Span inner, attributes;
        if (!der_element(p, end, tag, inner) || tag != 0x04) return false;
        if (p != end && (!der_element(p, end, tag, attributes) || tag != 0xA0 || p != end)) return false;
        return walk_rsa_der(inner.p, inner.len, key, true);
    }
    key[kVersion] = version;
    p = after_version;
    for (int f = kN; f < kFields; ++f) {
        Span v;
        if (!der_element(p, end, tag, v) || tag != 0x02 || v.len == 0 || (v.p[0] & 0x80)) return false;
        if (magnitude(v).len == 0) return false;  // zero
        key[f] = v;
    }
    return p == end && magnitude(key[kE]).len <= 4;
}

// ---- the arithmetic of a key ----

// e * d = 1 (mod p - 1), for odd p > 2. `reduced` tells whether d < p - 1 besides.
inline bool exponent_inverts(std::uint32_t e, const Big& d, const Big& p, bool& reduced) {
    reduced = false;
    if (p.empty() || (p[0] & 1) == 0) return false;
    Big m = p;
    m[0] -= 1;
    if (big_compare(m, Big{1}) <= 0) return false;
    reduced = big_compare(d, m) < 0;
    return big_equals(big_mod(big_multiply(d, Big{e}), m), 1);
}

// iq * q = 1 (mod p) and iq < p, for odd p > 1.
inline bool coefficient_inverts(const Big& iq, const Big& q, const Big& p) {
    if (p.empty() || (p[0] & 1) == 0 || big_compare(p, Big{1}) <= 0) return false;
    return big_compare(iq, p) < 0 && big_equals(big_mod(big_multiply(iq, q), p), 1);
}

// Whether a walked key can sign RS256 under the rules: n = p * q of exactly 2048 bits, e odd and
// at least 3, dp and dq the inverses of e modulo p - 1 and q - 1, iq the inverse of q modulo p.
struct KeyVerdict {
    bool must = false;  // every rule holds: the key has to be taken
    bool may = false;   // as `must`, except that dp or dq may exceed p - 1 or q - 1 (congruent,
                        // not reduced): taking it or not are both sound
    std::vector<unsigned char> n;  // p * q, minimal big-endian
    std::vector<unsigned char> e;  // minimal big-endian
};

inline KeyVerdict judge_rsa_key(const DerKey& key) {
    KeyVerdict v;
    const Big p = magnitude(key[kP]).big();
    const Big q = magnitude(key[kQ]).big();
    v.n = big_bytes(big_multiply(p, q));
    v.e = magnitude(key[kE]).bytes();
    std::uint32_t e = 0;
    for (unsigned char b : v.e) e = (e << 8) | b;
    const bool modulus = v.n.size() == 256 && (v.n[0] & 0x80) && magnitude(key[kN]).bytes() == v.n;
    if (!modulus || e < 3 || (e & 1) == 0) return v;  // the costly part only where it matters
    bool dp_reduced, dq_reduced;
    const bool dp = exponent_inverts(e, magnitude(key[kDp]).big(), p, dp_reduced);
    const bool dq = exponent_inverts(e, magnitude(key[kDq]).big(), q, dq_reduced);
    const bool iq = coefficient_inverts(magnitude(key[kIq]).big(), q, p);
    v.may = dp && dq && iq;
    v.must = v.may && dp_reduced && dq_reduced;
    return v;
}

// ---- key identifiers ----

inline void der_put_length(std::vector<unsigned char>& out, std::size_t len) {
    if (len < 0x80) {
        out.push_back(static_cast<unsigned char>(len));
    } else if (len < 0x100) {
        out.insert(out.end(), {0x81, static_cast<unsigned char>(len)});
    } else {
        out.insert(out.end(), {0x82, static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)});
    }
}

inline void der_put(std::vector<unsigned char>& out, unsigned char tag, const std::vector<unsigned char>& content) {
    out.push_back(tag);
    der_put_length(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
}

// The kid of a public key (magnitudes n and e, below 64 KiB): the first 16 characters of the
// base64url text of SHA-256 over SEQUENCE { rsaEncryption OID, NULL, BIT STRING { 00, SEQUENCE {
// INTEGER n, INTEGER e } } }, with the OID and NULL directly in the outer SEQUENCE. The 16
// characters are the text of the first 12 digest bytes.
inline std::string reference_kid(const std::vector<unsigned char>& n, const std::vector<unsigned char>& e) {
    auto integer = [](const std::vector<unsigned char>& m) {
        std::vector<unsigned char> c;
        if (!m.empty() && (m[0] & 0x80)) c.push_back(0x00);
        c.insert(c.end(), m.begin(), m.end());
        return c;
    };
    std::vector<unsigned char> ints, bits = {0x00}, outer = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                                            0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
    der_put(ints, 0x02, integer(n));
    der_put(ints, 0x02, integer(e));
    der_put(bits, 0x30, ints);
    der_put(outer, 0x03, bits);
    std::vector<unsigned char> spki;
    der_put(spki, 0x30, outer);
    unsigned char digest[32];
    tarn_sha256(spki.data(), spki.size(), digest);
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string kid;
    for (int i = 0; i < 12; i += 3) {
        const std::uint32_t v = std::uint32_t{digest[i]} << 16 | std::uint32_t{digest[i + 1]} << 8 | digest[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) kid.push_back(kAlphabet[(v >> shift) & 63]);
    }
    return kid;
}

}  // namespace tarn::fuzz
