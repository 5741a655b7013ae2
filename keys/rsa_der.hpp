// Reading RSA private keys from their DER forms, and the arithmetic check that ties the public
// exponent a key states to its private half.
#pragma once

#include <cstddef>
#include <cstdint>

#include <bearssl.h>

namespace tarn::keys {

// An RSA private key as its DER states it. The components of `sk` point into the DER (leading
// zero bytes skipped); n_bitlen is the bit length of the stated modulus.
struct RsaPrivateDer {
    br_rsa_private_key sk;
    std::uint32_t e;         // the stated public exponent
    const unsigned char* n;  // the stated modulus, unsigned big-endian, leading zeros skipped
    std::size_t n_len;
};

// Reads a PKCS#8 PrivateKeyInfo holding an rsaEncryption key, or a bare PKCS#1 RSAPrivateKey
// (version 0), that spans exactly `len` bytes. False for anything else, including other key
// types, negative or empty components and an exponent wider than 32 bits.
bool parse_rsa_private_der(const unsigned char* der, std::size_t len, RsaPrivateDer& out);

// True when e * d = 1 (mod p - 1): d is the CRT exponent of prime p for public exponent e.
// Unsigned big-endian inputs of at most 264 bytes; p must be odd. Runs in time independent of
// the values of d and p (their lengths may show).
bool crt_exponent_matches(std::uint32_t e, const unsigned char* d, std::size_t d_len,
                          const unsigned char* p, std::size_t p_len);

// True when n = p * q exactly (unsigned big-endian, leading zeros allowed; p and q of at most 264
// bytes). The product is computed in full: a modulus holding only the low bits of p * q is not it.
bool modulus_is_product(const unsigned char* n, std::size_t n_len, const unsigned char* p,
                        std::size_t p_len, const unsigned char* q, std::size_t q_len);

// True when iq * q = 1 (mod p): iq is the CRT coefficient of the primes p and q, and iq < p.
// Unsigned big-endian inputs of at most 264 bytes; p must be odd. Runs in time independent of
// the values (their lengths may show). A wrong coefficient would make every CRT signature right
// only modulo q, and one such signature reveals q.
bool crt_coefficient_matches(const unsigned char* iq, std::size_t iq_len, const unsigned char* q,
                             std::size_t q_len, const unsigned char* p, std::size_t p_len);

}  // namespace tarn::keys
