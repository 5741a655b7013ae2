// RSA private keys in DER, as a keys.json entry holds them, against the walk and the arithmetic
// of reference_rsa.hpp:
// - the reader takes exactly the PKCS#8 PrivateKeyInfo (rsaEncryption) and bare PKCS#1
//   RSAPrivateKey inputs that span the whole input; the components it gives are the key's own
//   INTEGERs (pointers into the input, leading zero bytes skipped), its exponent and modulus bit
//   length those the DER states;
// - the coefficient check (iq * q = 1 mod p, iq < p) agrees with the arithmetic exactly; the
//   exponent check (e * d = 1 mod p - 1) never accepts what the arithmetic rejects, and accepts
//   every such d below p - 1;
// - an entry holding the input is usable only when the key's numbers agree (n = p * q of 2048
//   bits, e odd and at least 3, dp, dq and iq the inverses they must be) and only under the kid
//   of (n, e); with dp and dq reduced such a key is always usable under that kid;
// - a usable entry's modulus and exponent are the key's, and its private view is the key's own
//   CRT components.
//
// Input: the DER bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference_rsa.hpp"
#include "id_keys.h"
#include "keys/key_store.hpp"
#include "keys/rsa_der.hpp"

using namespace tarn::fuzz;
namespace keys = tarn::keys;

namespace {

// The sizes the arithmetic checks of the key module work on; beyond them they refuse.
constexpr std::size_t kCheckedBytes = 264;

// The exponent check, held against the arithmetic.
void check_exponent(std::uint32_t e, Span d, Span p) {
    const bool got = keys::crt_exponent_matches(e, d.p, d.len, p.p, p.len);
    if (d.len > kCheckedBytes || p.len > kCheckedBytes) {
        FUZZ_CHECK(!got);
        return;
    }
    bool reduced = false;
    const bool want = exponent_inverts(e, d.big(), p.big(), reduced);
    FUZZ_CHECK(!got || want);
    FUZZ_CHECK(got || !want || !reduced);
}

// The coefficient check, held against the arithmetic.
void check_coefficient(Span iq, Span q, Span p) {
    const bool got = keys::crt_coefficient_matches(iq.p, iq.len, q.p, q.len, p.p, p.len);
    if (iq.len > kCheckedBytes || q.len > kCheckedBytes || p.len > kCheckedBytes) {
        FUZZ_CHECK(!got);
        return;
    }
    FUZZ_CHECK(got == coefficient_inverts(iq.big(), q.big(), p.big()));
}

// What the reader gives is the key's own INTEGERs.
void check_components(const keys::RsaPrivateDer& key, const DerKey& ints) {
    const br_rsa_private_key& sk = key.sk;
    FUZZ_CHECK((Span{sk.p, sk.plen} == magnitude(ints[kP])));
    FUZZ_CHECK((Span{sk.q, sk.qlen} == magnitude(ints[kQ])));
    FUZZ_CHECK((Span{sk.dp, sk.dplen} == magnitude(ints[kDp])));
    FUZZ_CHECK((Span{sk.dq, sk.dqlen} == magnitude(ints[kDq])));
    FUZZ_CHECK((Span{sk.iq, sk.iqlen} == magnitude(ints[kIq])));
    const Span n = magnitude(ints[kN]);
    FUZZ_CHECK((Span{key.n, key.n_len} == n));
    const unsigned top_bits = 32 - static_cast<unsigned>(__builtin_clz(n.p[0]));
    FUZZ_CHECK(sk.n_bitlen == 8 * (n.len - 1) + top_bits);
    std::uint32_t e = 0;
    for (unsigned char b : magnitude(ints[kE]).bytes()) e = (e << 8) | b;
    FUZZ_CHECK(key.e == e);

    check_exponent(key.e, magnitude(ints[kDp]), magnitude(ints[kP]));
    check_exponent(key.e, magnitude(ints[kDq]), magnitude(ints[kQ]));
    check_coefficient(magnitude(ints[kIq]), magnitude(ints[kQ]), magnitude(ints[kP]));
}

// `got` holds the bytes of `want` (a span of the input) at the same place in the entry's copy.
bool same_place(const unsigned char* got, std::size_t got_len, const id_key_entry& entry, Span want,
                const std::uint8_t* data) {
    return got_len == want.len && got == entry.der + (want.p - data);
}

// The input as a key entry under a few kids: the one it must have, the one of the modulus it
// states (which differs when that is not p * q) and an unrelated one.
void check_entry(const std::uint8_t* data, std::size_t size, const DerKey* ints) {
    KeyVerdict verdict;
    std::string true_kid;
    std::vector<std::string> kids = {"AAAAAAAAAAAAAAAA"};
    if (ints) {
        verdict = judge_rsa_key(*ints);
        true_kid = reference_kid(verdict.n, verdict.e);
        kids.push_back(true_kid);
        const std::string stated_kid = reference_kid(magnitude((*ints)[kN]).bytes(), verdict.e);
        if (stated_kid != true_kid) kids.push_back(stated_kid);
    }
    for (const std::string& kid : kids) {
        id_key_entry entry{};
        std::memcpy(entry.der, data, size);
        entry.der_len = size;
        entry.has_private = 1;
        std::memcpy(entry.kid, kid.c_str(), kid.size() + 1);
        const bool usable = keys::entry_usable(entry);
        const bool right_kid = ints && kid == true_kid;
        if (!usable) {
            FUZZ_CHECK(!(right_kid && verdict.must));
            continue;
        }
        // One check per rule, so that a failure names the rule broken.
        FUZZ_CHECK(right_kid);
        FUZZ_CHECK(verdict.may);
        FUZZ_CHECK(entry.decoded == 1);
        FUZZ_CHECK(entry.n_len == verdict.n.size() && std::memcmp(entry.n, verdict.n.data(), entry.n_len) == 0);
        FUZZ_CHECK(entry.e_len == verdict.e.size() && std::memcmp(entry.e, verdict.e.data(), entry.e_len) == 0);
        br_rsa_private_key view;
        FUZZ_CHECK(keys::private_view(entry, view));
        FUZZ_CHECK(view.n_bitlen == 2048);
        FUZZ_CHECK(same_place(view.p, view.plen, entry, magnitude((*ints)[kP]), data));
        FUZZ_CHECK(same_place(view.q, view.qlen, entry, magnitude((*ints)[kQ]), data));
        FUZZ_CHECK(same_place(view.dp, view.dplen, entry, magnitude((*ints)[kDp]), data));
        FUZZ_CHECK(same_place(view.dq, view.dqlen, entry, magnitude((*ints)[kDq]), data));
        FUZZ_CHECK(same_place(view.iq, view.iqlen, entry, magnitude((*ints)[kIq]), data));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DerKey ints{};
    keys::RsaPrivateDer key;
    const bool parsed = keys::parse_rsa_private_der(data, size, key);
    FUZZ_CHECK(parsed == walk_rsa_der(data, size, ints));
    if (parsed) check_components(key, ints);
    if (size <= sizeof(id_key_entry::der)) check_entry(data, size, parsed ? &ints : nullptr);
    return 0;
}
