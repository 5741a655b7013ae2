// Sealed texts of the provider's pages (the authorization request carried through sign-in and
// consent) and form tokens. A seal opens for its own purpose only, to exactly its payload; a seal
// with any byte changed opens to nothing or, where base64 leaves low bits unread, to the same
// payload; an arbitrary text never opens (the secret is fresh for every process, so no stored
// input can hold a valid seal). A form token is valid for its own purpose and cookie value only.
//
// Input: a purpose, a NUL, a payload, a NUL, a position byte, a replacement byte, then a text
// presented as a seal and as a form token.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "id_jwt.h"
#include "web/authz.hpp"
#include "web/csrf.hpp"

using namespace tarn::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string dir = [] {
        std::string d = scratch_dir("seal");
        setenv("IDENTITY_DATA_DIR", d.c_str(), 1);
        return d;
    }();
    Input in(data, size);
    const std::string purpose(in.until('\0')), payload(in.until('\0'));
    const std::uint8_t pos = in.byte(), replacement = in.byte();
    const std::string presented(in.rest());
    if (payload.size() > 4096) return 0;

    const std::string sealed = web::seal(purpose, payload);
    FUZZ_CHECK(!sealed.empty());
    std::string opened;
    FUZZ_CHECK(web::unseal(purpose, sealed, opened) && opened == payload);
    std::string other;
    FUZZ_CHECK(!web::unseal(purpose + "x", sealed, other) && other.empty());

    std::string changed = sealed;
    const std::size_t at = pos % changed.size();
    changed[at] = static_cast<char>(replacement);
    std::string after;
    if (changed != sealed && web::unseal(purpose, changed, after)) FUZZ_CHECK(after == payload);

    std::string nothing;
    if (presented != sealed) FUZZ_CHECK(!web::unseal(purpose, presented, nothing) && nothing.empty());

    unsigned char secret[32];
    FUZZ_CHECK(id_get_secret_key(secret) == 0);
    const std::string value = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
    const std::string token = web::csrf_token(secret, purpose, value);
    FUZZ_CHECK(token.size() == 43);
    FUZZ_CHECK(token != web::csrf_token(secret, purpose + "\n", value));
    FUZZ_CHECK(token != web::csrf_token(secret, purpose, "BAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"));
    FUZZ_CHECK(web::csrf_value_well_formed(value) && !web::csrf_value_well_formed(presented.substr(0, 31)));
    return 0;
}
