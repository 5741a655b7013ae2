// RSA key generation, the public key encoding behind key identifiers, and the decoding and
// fingerprint check of stored keys.
#include <cstring>

#include "foundation/clock.hpp"
#include "id_keys.h"
#include "id_keys_bearssl.h"
#include "keys/key_store.hpp"
#include "keys/rsa_der.hpp"
#include "tarn_crypto.h"

namespace tarn::keys {
namespace {

// The generator of key pairs: HMAC-DRBG over SHA-256, seeded from the system once per process.
br_hmac_drbg_context g_drbg;
bool g_drbg_ok = false;
br_prng_seeder (*g_seeder_lookup)(const char**) = &br_prng_seeder_system;
int g_generated = 0;

// Work buffers of one generation, wiped after use.
unsigned char g_kbuf_priv[BR_RSA_KBUF_PRIV_SIZE(kModulusBits)];
unsigned char g_kbuf_pub[BR_RSA_KBUF_PUB_SIZE(kModulusBits)];
unsigned char g_privexp[kModulusBits / 8];
unsigned char g_der_out[sizeof(id_key_entry::der)];
unsigned char g_spki[512];

br_rsa_keygen g_keygen = nullptr;
br_rsa_pkcs1_sign g_sign = nullptr;
br_rsa_pkcs1_vrfy g_verify = nullptr;

// Limits of the public key encoding: the two INTEGERs, and the whole.
constexpr std::size_t kMaxKeyContent = 1024;
constexpr std::size_t kMaxEncoding = 1047;

// rsaEncryption OBJECT IDENTIFIER followed by NULL, as they stand in the outer SEQUENCE.
constexpr unsigned char kRsaAlgorithm[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                           0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};

std::size_t length_octets(std::size_t len) { return len < 128 ? 1 : len < 256 ? 2 : 3; }

// Writes tag and length at `p` and returns the position after them.
unsigned char* put_header(unsigned char* p, unsigned char tag, std::size_t len) {
    *p++ = tag;
    if (len < 128) {
        *p++ = static_cast<unsigned char>(len);
    } else if (len < 256) {
        *p++ = 0x81;
        *p++ = static_cast<unsigned char>(len);
    } else {
        *p++ = 0x82;
        *p++ = static_cast<unsigned char>(len >> 8);
        *p++ = static_cast<unsigned char>(len);
    }
    return p;
}

// Length of the contents of an INTEGER holding the unsigned magnitude x: a 00 byte is added when
// the first byte has its high bit set, so that the value stays positive.
std::size_t integer_content(const unsigned char* x, std::size_t len) {
    return len + ((len > 0 && (x[0] & 0x80)) ? 1 : 0);
}

unsigned char* put_integer(unsigned char* p, const unsigned char* x, std::size_t len) {
    p = put_header(p, 0x02, integer_content(x, len));
    if (len > 0 && (x[0] & 0x80)) *p++ = 0x00;
    if (len > 0) std::memcpy(p, x, len);
    return p + len;
}

bool seed_generator() {
    if (g_drbg_ok) return true;
    br_prng_seeder seeder = g_seeder_lookup ? g_seeder_lookup(nullptr) : nullptr;
    if (!seeder) return false;
    br_hmac_drbg_init(&g_drbg, &br_sha256_vtable, nullptr, 0);
    if (!seeder(&g_drbg.vtable)) return false;
    g_drbg_ok = true;
    return true;
}

void wipe_work_buffers() {
    std::memset(g_kbuf_priv, 0, sizeof g_kbuf_priv);
    std::memset(g_privexp, 0, sizeof g_privexp);
    std::memset(g_der_out, 0, sizeof g_der_out);
}

// Derives n and e of an entry from its private key as the DER states it, and checks them:
// exactly 2048 bits, n = p * q, a CRT coefficient with iq * q = 1 (mod p), an exponent that
// belongs to both CRT exponents, and a kid equal to the fingerprint of the public key.
int decode_public(id_key_entry& entry, const RsaPrivateDer& key) {
    const br_rsa_private_key* sk = &key.sk;
    if (sk->n_bitlen != kModulusBits) return -1;
    std::size_t n_len = br_rsa_i31_compute_modulus(nullptr, sk);
    if (n_len == 0 || n_len > sizeof entry.n) return -1;
    if (br_rsa_i31_compute_modulus(entry.n, sk) != n_len) return -1;
    entry.n_len = n_len;
    // The modulus the DER states must be p * q, and the CRT coefficient must belong to the
    // primes: a key whose numbers disagree is refused, since its signatures would not verify and
    // a signature that is right modulo only one prime gives that prime away.
    if (!modulus_is_product(key.n, key.n_len, sk->p, sk->plen, sk->q, sk->qlen) ||
        !modulus_is_product(entry.n, n_len, sk->p, sk->plen, sk->q, sk->qlen))
        return -1;
    if (!crt_coefficient_matches(sk->iq, sk->iqlen, sk->q, sk->qlen, sk->p, sk->plen)) return -1;
    // The exponent is the one the DER states, accepted only when e * dp = 1 (mod p - 1) and
    // e * dq = 1 (mod q - 1): then it is the exponent of this private key, as BearSSL's
    // derivation of it would find (which needs both primes to be 3 mod 4, and far more time).
    const std::uint32_t e = key.e;
    if (e < 3 || (e & 1) == 0 || !crt_exponent_matches(e, sk->dp, sk->dplen, sk->p, sk->plen) ||
        !crt_exponent_matches(e, sk->dq, sk->dqlen, sk->q, sk->qlen))
        return -1;
    unsigned char e_bytes[4] = {static_cast<unsigned char>(e >> 24),
                                static_cast<unsigned char>(e >> 16),
                                static_cast<unsigned char>(e >> 8), static_cast<unsigned char>(e)};
    std::size_t skip = 0;
    while (e_bytes[skip] == 0) ++skip;  // e != 0: at least one byte stays
    std::size_t e_len = 4 - skip;
    std::memcpy(entry.e, e_bytes + skip, e_len);
    entry.e_len = e_len;

    br_rsa_public_key pk{entry.n, n_len, entry.e, e_len};
    unsigned char encoding[512];
    std::size_t len = id_spki_encode(nullptr, &pk);
    if (len == 0 || len > sizeof encoding || id_spki_encode(encoding, &pk) != len) return -1;
    char kid[kKidLength + 1];
    if (!kid_of(encoding, len, kid) || std::strcmp(kid, entry.kid) != 0) return -1;
    entry.decoded = 1;
    return 0;
}

}  // namespace

br_rsa_keygen keygen_engine() {
    if (!g_keygen) {
        g_keygen = br_rsa_i62_keygen_get();
        if (!g_keygen) g_keygen = &br_rsa_i31_keygen;
    }
    return g_keygen;
}

br_rsa_pkcs1_sign sign_engine() {
    if (!g_sign) {
        g_sign = br_rsa_i62_pkcs1_sign_get();
        if (!g_sign) g_sign = &br_rsa_i31_pkcs1_sign;
    }
    return g_sign;
}

br_rsa_pkcs1_vrfy verify_engine() {
    if (!g_verify) {
        g_verify = br_rsa_i62_pkcs1_vrfy_get();
        if (!g_verify) g_verify = &br_rsa_i31_pkcs1_vrfy;
    }
    return g_verify;
}

bool kid_of(const unsigned char* encoding, std::size_t len, char out[kKidLength + 1]) {
    unsigned char digest[32];
    tarn_sha256(encoding, len, digest);
    char text[48];
    if (tarn_base64url_encode(digest, sizeof digest, text, sizeof text) != 43) return false;
    std::memcpy(out, text, kKidLength);
    out[kKidLength] = '\0';
    return true;
}

bool entry_usable(id_key_entry& entry) {
    if (entry.decoded) return true;
    if (!entry.has_private || entry.der_len == 0 || entry.der_len > sizeof entry.der) return false;
    RsaPrivateDer key;
    if (!parse_rsa_private_der(entry.der, static_cast<std::size_t>(entry.der_len), key)) return false;
    return decode_public(entry, key) == 0;
}

bool private_view(const id_key_entry& entry, br_rsa_private_key& sk) {
    RsaPrivateDer key;
    if (!entry.decoded ||
        !parse_rsa_private_der(entry.der, static_cast<std::size_t>(entry.der_len), key))
        return false;
    sk = key.sk;
    return true;
}

void copy_entry(id_key_entry& dst, const id_key_entry& src) {
    std::memcpy(dst.kid, src.kid, sizeof dst.kid);
    std::memcpy(dst.alg, src.alg, sizeof dst.alg);
    dst.created = src.created;
    dst.status = src.status;
    dst.has_private = src.has_private;
    dst.der_len = src.der_len;
    std::memcpy(dst.der, src.der, sizeof dst.der);
    dst.decoded = 0;
    std::memset(dst.n, 0, sizeof dst.n);
    std::memset(dst.e, 0, sizeof dst.e);
    dst.n_len = 0;
    dst.e_len = 0;
}

namespace testing {
void set_seeder_lookup(br_prng_seeder (*lookup)(const char** name)) {
    g_seeder_lookup = lookup ? lookup : &br_prng_seeder_system;
    g_drbg_ok = false;
}
int generated_count() { return g_generated; }
void set_sign_engine(br_rsa_pkcs1_sign engine) { g_sign = engine; }
}  // namespace testing

}  // namespace tarn::keys

using namespace tarn::keys;

extern "C" size_t id_spki_encode(unsigned char* dst, const br_rsa_public_key* pk) {
    if (!pk) return 0;
    if (pk->nlen > kMaxKeyContent || pk->elen > kMaxKeyContent) return 0;
    if ((pk->nlen > 0 && !pk->n) || (pk->elen > 0 && !pk->e)) return 0;
    const std::size_t n_content = integer_content(pk->n, pk->nlen);
    const std::size_t e_content = integer_content(pk->e, pk->elen);
    const std::size_t key_content =
        1 + length_octets(n_content) + n_content + 1 + length_octets(e_content) + e_content;
    if (key_content > kMaxKeyContent) return 0;
    const std::size_t bits_content = 1 + 1 + length_octets(key_content) + key_content;
    const std::size_t outer_content =
        sizeof kRsaAlgorithm + 1 + length_octets(bits_content) + bits_content;
    const std::size_t total = 1 + length_octets(outer_content) + outer_content;
    if (total > kMaxEncoding) return 0;
    if (!dst) return total;

    unsigned char* p = put_header(dst, 0x30, outer_content);
    std::memcpy(p, kRsaAlgorithm, sizeof kRsaAlgorithm);
    p += sizeof kRsaAlgorithm;
    p = put_header(p, 0x03, bits_content);
    *p++ = 0x00;  // no unused bits
    p = put_header(p, 0x30, key_content);
    p = put_integer(p, pk->n, pk->nlen);
    p = put_integer(p, pk->e, pk->elen);
    return static_cast<std::size_t>(p - dst);
}

extern "C" int id_key_generate(id_key_entry* entry) {
    if (!entry) return -1;
    std::memset(entry, 0, sizeof *entry);
    if (!seed_generator()) return -1;

    br_rsa_private_key sk;
    br_rsa_public_key pk;
    int result = -1;
    do {
        if (!keygen_engine()(&g_drbg.vtable, &sk, g_kbuf_priv, &pk, g_kbuf_pub, kModulusBits,
                             kPublicExponent) ||
            sk.n_bitlen != kModulusBits)
            break;
        std::size_t d_len = br_rsa_i31_compute_privexp(nullptr, &sk, kPublicExponent);
        if (d_len == 0 || d_len > sizeof g_privexp ||
            br_rsa_i31_compute_privexp(g_privexp, &sk, kPublicExponent) != d_len)
            break;
        std::size_t der_len = br_encode_rsa_pkcs8_der(nullptr, &sk, &pk, g_privexp, d_len);
        if (der_len == 0 || der_len > sizeof g_der_out ||
            br_encode_rsa_pkcs8_der(g_der_out, &sk, &pk, g_privexp, d_len) != der_len)
            break;
        std::size_t spki_len = id_spki_encode(nullptr, &pk);
        if (spki_len == 0 || spki_len > sizeof g_spki || id_spki_encode(g_spki, &pk) != spki_len)
            break;
        char kid[kKidLength + 1];
        if (!kid_of(g_spki, spki_len, kid)) break;
        if (pk.nlen > sizeof entry->n || pk.elen > sizeof entry->e) break;

        std::memcpy(entry->kid, kid, sizeof kid);
        std::memcpy(entry->alg, "RS256", 6);
        std::memcpy(entry->n, pk.n, pk.nlen);
        entry->n_len = pk.nlen;
        std::memcpy(entry->e, pk.e, pk.elen);
        entry->e_len = pk.elen;
        std::memcpy(entry->der, g_der_out, der_len);
        entry->der_len = der_len;
        entry->has_private = 1;
        entry->created = tarn::now_seconds();
        entry->status = 1;
        entry->decoded = 0;
        ++g_generated;
        // Checked exactly as a stored key is at its first use.
        result = entry_usable(*entry) ? 0 : -1;
    } while (false);
    wipe_work_buffers();
    if (result != 0) std::memset(entry, 0, sizeof *entry);
    return result;
}
