// Internals of the signing-key module shared by its sources: the process-wide key table, the RSA
// engine choice, the kid fingerprint and the decoding of a table entry. Not part of the library's
// interface; tests and benchmarks use the seams in `testing`.
#pragma once

#include <bearssl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "id_keys.h"

// id_key_entry keeps, as an opaque member, the room of the BearSSL key decoder it once held, so
// that programs built against earlier headers see the same layout.
static_assert(sizeof(id_key_entry::reserved) == sizeof(br_skey_decoder_context));
static_assert(alignof(decltype(id_key_entry::reserved)) == alignof(br_skey_decoder_context));

namespace tarn::keys {

inline constexpr unsigned kModulusBits = 2048;
inline constexpr std::uint32_t kPublicExponent = 65537;
inline constexpr std::size_t kKidLength = 16;   // characters of a generated kid
inline constexpr std::size_t kKidCap = 24;      // kid buffers: up to 23 characters and the NUL

// The key table: entries 0 .. nkeys - 1 in keys.json order, and the kid named by "active".
struct KeyTable {
    id_key_entry keys[ID_KEYS_MAX];
    std::int32_t nkeys;
    char active_kid[kKidCap];
    // Where each entry was read from: its index in the "keys" array of keys.json, or -1 for a key
    // made since. A change writes every element it did not take back in its place.
    std::int32_t source[ID_KEYS_MAX];
};

extern KeyTable g_table;
extern bool g_store_loaded;

// The fastest RSA engines BearSSL offers on this CPU (i62 where available, else i31; both give
// the same results).
br_rsa_keygen keygen_engine();
br_rsa_pkcs1_sign sign_engine();
br_rsa_pkcs1_vrfy verify_engine();

// kid of a public key encoding: the first 16 characters of base64url(SHA-256(encoding)), written
// with a NUL into `out`. False when the encoder fails.
bool kid_of(const unsigned char* encoding, std::size_t len, char out[kKidLength + 1]);

// True when `entry` can be used: it holds a private key that is already decoded, or decodes now
// (an RSA key of exactly 2048 bits, PKCS#8 or PKCS#1, whose kid matches its public key). A
// failed entry is tried again at its next use.
bool entry_usable(id_key_entry& entry);

// The private key of a usable (decoded) entry, its components pointing into the entry's der.
// False when the entry is not decoded.
bool private_view(const id_key_entry& entry, br_rsa_private_key& sk);

// Copies an entry without its decoded state, so that the copy is checked again at its next use.
void copy_entry(id_key_entry& dst, const id_key_entry& src);

// The published key array of `t`: "[...]", one JSON Web Key per usable entry in table order
// (entries are decoded on the way). A malloc'ed text, or nullptr when memory runs out.
char* jwks_array(KeyTable& t);
// The published key set of `t` into `out`: {"keys":<jwks_array>} and a line feed, the jwks
// program's body. False when it cannot be built.
bool published_body(KeyTable& t, std::string& out);

// The public key-set file the configuration names (jwks_file), as it was when this was made.
struct PublishedFile {
    enum class State { none, missing, present, unreadable };
    PublishedFile();
    bool configured() const { return !path.empty(); }
    // Replaces the file by `body` atomically (a temporary file beside it, then a rename), mode
    // 0644. False with the file as it was.
    bool write(std::string_view body) const;
    // Puts back what the file held when this was made (removing it when it was missing).
    bool restore() const;

    std::string path;   // "" when none is configured
    State state = State::none;
    std::string text;   // the bytes it held (present)
};

// After `t` was loaded from keys.json, under its lock: rewrites the configured published file
// when it is missing or holds another key set, so that a change made without the configuration
// is mended by the next process that has it; a stale file that cannot be rewritten is removed
// (the web server then asks the jwks program). Nothing happens when no file is configured.
void publish_loaded(KeyTable& t);

namespace testing {
// Empties the table and forgets that it was loaded, so that the next operation loads keys.json
// again, as a new process would.
void reset_table();
// Replaces BearSSL's system seeder lookup (nullptr restores it) and forgets the seeded generator,
// so that tests can make the random source fail.
void set_seeder_lookup(br_prng_seeder (*lookup)(const char** name));
// Number of key pairs generated in this process.
int generated_count();
// Replaces the RS256 signing engine (nullptr restores BearSSL's), so that tests can make a
// signature come out wrong.
void set_sign_engine(br_rsa_pkcs1_sign engine);
}  // namespace testing

}  // namespace tarn::keys
