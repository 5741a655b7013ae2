// DER reading of RSA private keys and the exponent check, so that a stored key is validated
// with a few microseconds of work (every request of the key-set endpoint is a new process).
#include "keys/rsa_der.hpp"

#include <array>
#include <cstring>

namespace tarn::keys {
namespace {

// One DER element at `p`: tag, contents and the position after it. False when malformed or
// running past `end`. Lengths of up to two octets: no key we read is longer.
bool read_element(const unsigned char*& p, const unsigned char* end, unsigned char& tag,
                  const unsigned char*& content, std::size_t& len) {
    if (end - p < 2) return false;
    tag = p[0];
    std::size_t first = p[1];
    p += 2;
    if (first < 0x80) {
        len = first;
    } else {
        std::size_t octets = first & 0x7F;
        if (octets == 0 || octets > 2 || static_cast<std::size_t>(end - p) < octets) return false;
        len = 0;
        for (std::size_t i = 0; i < octets; ++i) len = (len << 8) | *p++;
    }
    if (static_cast<std::size_t>(end - p) < len) return false;
    content = p;
    p += len;
    return true;
}

// A non-negative, non-zero INTEGER, its leading zero bytes skipped.
bool read_positive(const unsigned char*& p, const unsigned char* end, const unsigned char*& value,
                   std::size_t& len) {
    unsigned char tag;
    if (!read_element(p, end, tag, value, len) || tag != 0x02 || len == 0) return false;
    if (value[0] & 0x80) return false;  // negative
    while (len > 0 && value[0] == 0) {
        ++value;
        --len;
    }
    return len > 0;
}

bool read_zero(const unsigned char*& p, const unsigned char* end) {
    unsigned char tag;
    const unsigned char* value;
    std::size_t len;
    return read_element(p, end, tag, value, len) && tag == 0x02 && len == 1 && value[0] == 0;
}

unsigned bit_length(const unsigned char* x, std::size_t len) {
    unsigned top = x[0];  // non-zero: leading zeros are skipped
    unsigned bits = 0;
    while (top) {
        ++bits;
        top >>= 1;
    }
    return static_cast<unsigned>((len - 1) * 8) + bits;
}

constexpr unsigned char kRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

// RSAPrivateKey ::= SEQUENCE { version 0, n, e, d, p, q, dp, dq, iq }, spanning [p, end).
bool parse_pkcs1(const unsigned char* p, const unsigned char* end, RsaPrivateDer& out) {
    unsigned char tag;
    const unsigned char* c;
    std::size_t len;
    if (!read_element(p, end, tag, c, len) || tag != 0x30 || p != end) return false;
    p = c;
    end = c + len;
    const unsigned char *e, *d, *prime_p, *prime_q, *dp, *dq, *iq;
    std::size_t e_len, d_len;
    br_rsa_private_key& sk = out.sk;
    if (!read_zero(p, end) || !read_positive(p, end, out.n, out.n_len) ||
        !read_positive(p, end, e, e_len) || !read_positive(p, end, d, d_len) ||
        !read_positive(p, end, prime_p, sk.plen) || !read_positive(p, end, prime_q, sk.qlen) ||
        !read_positive(p, end, dp, sk.dplen) || !read_positive(p, end, dq, sk.dqlen) ||
        !read_positive(p, end, iq, sk.iqlen) || p != end)
        return false;
    if (e_len > 4) return false;
    out.e = 0;
    for (std::size_t i = 0; i < e_len; ++i) out.e = (out.e << 8) | e[i];
    sk.n_bitlen = bit_length(out.n, out.n_len);
    // BearSSL's key structure has non-const pointers, but its engines only read through them.
    sk.p = const_cast<unsigned char*>(prime_p);
    sk.q = const_cast<unsigned char*>(prime_q);
    sk.dp = const_cast<unsigned char*>(dp);
    sk.dq = const_cast<unsigned char*>(dq);
    sk.iq = const_cast<unsigned char*>(iq);
    return true;
}

// Little-endian 32-bit limbs, wide enough for a 264-byte value shifted by 32 bits and times a
// 32-bit exponent.
constexpr std::size_t kLimbs = 70;
constexpr std::size_t kMaxBytes = 264;
using Limbs = std::array<std::uint32_t, kLimbs>;

void to_limbs(const unsigned char* s, std::size_t len, Limbs& out) {
    out.fill(0);
    for (std::size_t i = 0; i < len; ++i)
        out[i / 4] |= static_cast<std::uint32_t>(s[len - 1 - i]) << (8 * (i % 4));
}

// out = a << bits, for bits < 32.
void shift_left(const Limbs& a, unsigned bits, Limbs& out) {
    std::uint32_t carry = 0;
    for (std::size_t i = 0; i < kLimbs; ++i) {
        out[i] = (a[i] << bits) | carry;
        carry = bits ? a[i] >> (32 - bits) : 0;
    }
}

// x -= y when y <= x, without branching on the values.
void subtract_if_not_below(Limbs& x, const Limbs& y) {
    Limbs diff;
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < kLimbs; ++i) {
        std::uint64_t t = static_cast<std::uint64_t>(x[i]) - y[i] - borrow;
        diff[i] = static_cast<std::uint32_t>(t);
        borrow = (t >> 32) & 1;
    }
    std::uint32_t keep_diff = static_cast<std::uint32_t>(borrow) - 1;  // all ones when y <= x
    for (std::size_t i = 0; i < kLimbs; ++i) x[i] = (diff[i] & keep_diff) | (x[i] & ~keep_diff);
}

// Montgomery arithmetic on 64-bit limbs, little-endian, for the coefficient check.
constexpr std::size_t kWideLimbs = (kMaxBytes + 7) / 8;
using Wide = std::array<std::uint64_t, kWideLimbs>;

void to_wide(const unsigned char* s, std::size_t len, Wide& out) {
    out.fill(0);
    for (std::size_t i = 0; i < len; ++i)
        out[i / 8] |= static_cast<std::uint64_t>(s[len - 1 - i]) << (8 * (i % 8));
}

// -m^-1 mod 2^64 for odd m, by Newton's iteration (each step doubles the correct low bits).
std::uint64_t neg_inverse(std::uint64_t m) {
    std::uint64_t x = m;  // right in the low 3 bits for any odd m
    for (int i = 0; i < 5; ++i) x *= 2 - m * x;
    return ~x + 1;
}

// a * b * 2^(-64k) mod m over k limbs, for a < m and b < 2^(64k); the result is fully reduced.
// The same operations run whatever the values: no branch or index depends on them.
void mont_mul(const Wide& a, const Wide& b, const Wide& m, std::size_t k, std::uint64_t m0inv,
              Wide& out) {
    using u128 = unsigned __int128;
    std::array<std::uint64_t, kWideLimbs + 2> t{};
    for (std::size_t i = 0; i < k; ++i) {
        u128 carry = 0;
        for (std::size_t j = 0; j < k; ++j) {
            u128 v = static_cast<u128>(a[j]) * b[i] + t[j] + carry;
            t[j] = static_cast<std::uint64_t>(v);
            carry = v >> 64;
        }
        u128 v = static_cast<u128>(t[k]) + carry;
        t[k] = static_cast<std::uint64_t>(v);
        t[k + 1] = static_cast<std::uint64_t>(v >> 64);
        const std::uint64_t u = t[0] * m0inv;
        carry = (static_cast<u128>(u) * m[0] + t[0]) >> 64;
        for (std::size_t j = 1; j < k; ++j) {
            v = static_cast<u128>(u) * m[j] + t[j] + carry;
            t[j - 1] = static_cast<std::uint64_t>(v);
            carry = v >> 64;
        }
        v = static_cast<u128>(t[k]) + carry;
        t[k - 1] = static_cast<std::uint64_t>(v);
        t[k] = t[k + 1] + static_cast<std::uint64_t>(v >> 64);
    }
    // t < 2m: subtract m once unless that borrows.
    Wide diff{};
    std::uint64_t borrow = 0;
    for (std::size_t j = 0; j < k; ++j) {
        u128 v = static_cast<u128>(t[j]) - m[j] - borrow;
        diff[j] = static_cast<std::uint64_t>(v);
        borrow = static_cast<std::uint64_t>(v >> 64) & 1;
    }
    const std::uint64_t keep_t = 0 - static_cast<std::uint64_t>(borrow > t[k]);  // t < m
    out.fill(0);
    for (std::size_t j = 0; j < k; ++j) out[j] = (t[j] & keep_t) | (diff[j] & ~keep_t);
}

// x < y, without branching on the values.
bool less_than(const Wide& x, const Wide& y) {
    std::uint64_t borrow = 0;
    for (std::size_t j = 0; j < kWideLimbs; ++j) {
        unsigned __int128 v = static_cast<unsigned __int128>(x[j]) - y[j] - borrow;
        borrow = static_cast<std::uint64_t>(v >> 64) & 1;
    }
    return borrow != 0;
}

}  // namespace

bool parse_rsa_private_der(const unsigned char* der, std::size_t len, RsaPrivateDer& out) {
    std::memset(&out, 0, sizeof out);
    const unsigned char* p = der;
    const unsigned char* end = der + len;
    unsigned char tag;
    const unsigned char* c;
    std::size_t clen;
    if (!read_element(p, end, tag, c, clen) || tag != 0x30 || p != end) return false;
    // PKCS#8 has its AlgorithmIdentifier SEQUENCE right after the version, PKCS#1 the modulus.
    const unsigned char* q = c;
    const unsigned char* inner_end = c + clen;
    if (!read_zero(q, inner_end)) return false;
    const unsigned char* after_version = q;
    if (!read_element(q, inner_end, tag, c, clen)) return false;
    if (tag != 0x30) return parse_pkcs1(der, end, out);

    // PrivateKeyInfo ::= SEQUENCE { 0, AlgorithmIdentifier, OCTET STRING, [0] attributes OPTIONAL }
    q = after_version;
    const unsigned char* alg;
    std::size_t alg_len;
    if (!read_element(q, inner_end, tag, alg, alg_len) || tag != 0x30) return false;
    const unsigned char* a = alg;
    const unsigned char* alg_end = alg + alg_len;
    const unsigned char* oid;
    std::size_t oid_len;
    if (!read_element(a, alg_end, tag, oid, oid_len) || tag != 0x06 ||
        oid_len != sizeof kRsaEncryption || std::memcmp(oid, kRsaEncryption, oid_len) != 0)
        return false;
    if (a != alg_end) {  // parameters: NULL
        const unsigned char* v;
        std::size_t v_len;
        if (!read_element(a, alg_end, tag, v, v_len) || tag != 0x05 || v_len != 0 || a != alg_end)
            return false;
    }
    const unsigned char* key;
    std::size_t key_len;
    if (!read_element(q, inner_end, tag, key, key_len) || tag != 0x04) return false;
    if (q != inner_end) {  // attributes
        const unsigned char* v;
        std::size_t v_len;
        if (!read_element(q, inner_end, tag, v, v_len) || tag != 0xA0 || q != inner_end) return false;
    }
    return parse_pkcs1(key, key + key_len, out);
}

bool crt_exponent_matches(std::uint32_t e, const unsigned char* d, std::size_t d_len,
                          const unsigned char* p, std::size_t p_len) {
    if (e == 0 || d_len > kMaxBytes || p_len > kMaxBytes || p_len == 0) return false;
    if ((p[p_len - 1] & 1) == 0) return false;
    Limbs m, x, shifted;
    to_limbs(p, p_len, m);
    m[0] -= 1;  // p is odd: p - 1 clears the lowest bit
    to_limbs(d, d_len, x);
    std::uint64_t carry = 0;  // x = d * e
    for (std::size_t i = 0; i < kLimbs; ++i) {
        std::uint64_t t = static_cast<std::uint64_t>(x[i]) * e + carry;
        x[i] = static_cast<std::uint32_t>(t);
        carry = t >> 32;
    }
    // x mod (p - 1) by shift and subtract: a CRT exponent is below p - 1, so the quotient is
    // below e and fits in 32 bits.
    for (int bit = 31; bit >= 0; --bit) {
        shift_left(m, static_cast<unsigned>(bit), shifted);
        subtract_if_not_below(x, shifted);
    }
    std::uint32_t rest = x[0] ^ 1;  // x must now be exactly 1 (and so below p - 1)
    for (std::size_t i = 1; i < kLimbs; ++i) rest |= x[i];
    bool m_above_one = false;
    for (std::size_t i = 0; i < kLimbs; ++i) m_above_one |= (i == 0 ? m[i] > 1 : m[i] != 0);
    return rest == 0 && m_above_one;
}

bool modulus_is_product(const unsigned char* n, std::size_t n_len, const unsigned char* p,
                        std::size_t p_len, const unsigned char* q, std::size_t q_len) {
    if (p_len > kMaxBytes || q_len > kMaxBytes) return false;
    while (n_len > 0 && *n == 0) {
        ++n;
        --n_len;
    }
    if (n_len > 2 * kMaxBytes) return false;
    Wide a, b;
    to_wide(p, p_len, a);
    to_wide(q, q_len, b);
    std::array<std::uint64_t, 2 * kWideLimbs> product{}, stated{};
    for (std::size_t i = 0; i < kWideLimbs; ++i) {
        unsigned __int128 carry = 0;
        for (std::size_t j = 0; j < kWideLimbs; ++j) {
            unsigned __int128 v = static_cast<unsigned __int128>(a[i]) * b[j] + product[i + j] + carry;
            product[i + j] = static_cast<std::uint64_t>(v);
            carry = v >> 64;
        }
        product[i + kWideLimbs] = static_cast<std::uint64_t>(carry);
    }
    for (std::size_t i = 0; i < n_len; ++i)
        stated[i / 8] |= static_cast<std::uint64_t>(n[n_len - 1 - i]) << (8 * (i % 8));
    std::uint64_t diff = 0;
    for (std::size_t i = 0; i < stated.size(); ++i) diff |= stated[i] ^ product[i];
    return diff == 0;
}

bool crt_coefficient_matches(const unsigned char* iq, std::size_t iq_len, const unsigned char* q,
                             std::size_t q_len, const unsigned char* p, std::size_t p_len) {
    if (iq_len > kMaxBytes || q_len > kMaxBytes || p_len == 0 || p_len > kMaxBytes) return false;
    if ((p[p_len - 1] & 1) == 0) return false;
    Wide m, a, b, one, lhs, rhs;
    to_wide(p, p_len, m);
    to_wide(iq, iq_len, a);
    to_wide(q, q_len, b);
    const std::size_t k = ((p_len > q_len ? p_len : q_len) + 7) / 8;
    if (!less_than(a, m)) return false;  // the coefficient is reduced modulo p
    one.fill(0);
    one[0] = 1;
    // Both sides carry the same factor 2^(-64k): iq * q = 1 (mod p) exactly when the Montgomery
    // products of (iq, q) and (1, 1) agree, and no reduction constant is needed.
    const std::uint64_t m0inv = neg_inverse(m[0]);
    mont_mul(a, b, m, k, m0inv, lhs);
    mont_mul(one, one, m, k, m0inv, rhs);
    std::uint64_t diff = 0;
    for (std::size_t j = 0; j < kWideLimbs; ++j) diff |= lhs[j] ^ rhs[j];
    std::uint64_t m_above_one = 0;  // p = 1 would make every coefficient match
    for (std::size_t j = 1; j < kWideLimbs; ++j) m_above_one |= m[j];
    m_above_one |= m[0] >> 1;
    return diff == 0 && m_above_one != 0;
}

}  // namespace tarn::keys
