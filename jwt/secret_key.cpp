// secret.key: the 32-byte HS256 secret of the data directory, raw, created on first use.
//
// Reading takes no lock: once a file of 32 bytes or more is in place nothing replaces it. Making
// one (the file is missing, or too short to use) happens under the lock of secret.key: the
// holder reads again, and only when it still finds nothing usable writes fresh bytes to a
// temporary file, flushes it and renames it into place. So processes that find the file missing
// at the same moment all end up with the one secret the first of them stored, and no secret is
// handed out before it is on disk. (A link of a private temporary file would make first creation
// lock-free, but it cannot replace a short file, and a failed removal of the temporary name would
// leave a second copy of the secret behind.)

#include <cerrno>
#include <cstring>
#include <string_view>

#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "id_jwt.h"
#include "tarn_crypto.h"

namespace tarn::jwt {
namespace {

constexpr std::string_view kSecretFile = "secret.key";
constexpr std::size_t kSecretLen = ID_JWT_SECRET_LEN;

enum class SecretFile { usable, short_or_missing, unreadable };

// The first 32 bytes of secret.key into `out` (which may hold part of them otherwise).
SecretFile read_secret(const std::string& path, unsigned char* out) {
    FileDescriptor fd;
    switch (open_for_reading(path.c_str(), fd)) {
        case ReadStatus::ok: break;
        case ReadStatus::missing: return SecretFile::short_or_missing;
        case ReadStatus::error: return SecretFile::unreadable;
    }
    std::size_t got = 0;
    while (got < kSecretLen) {
        const ssize_t n = io_ops().read(fd.get(), out + got, kSecretLen - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return SecretFile::unreadable;  // never replace what could not be read
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got == kSecretLen ? SecretFile::usable : SecretFile::short_or_missing;
}

bool get_secret(unsigned char* out) {
    const DocFile file(kSecretFile);
    SecretFile found = read_secret(file.path, out);
    if (found != SecretFile::short_or_missing) return found == SecretFile::usable;

    DocumentLock lock;
    if (!lock.acquire(file)) return false;
    found = read_secret(file.path, out);  // another process may have made it meanwhile
    if (found != SecretFile::short_or_missing) return found == SecretFile::usable;
    unsigned char fresh[kSecretLen];
    bool stored = tarn_random_bytes(fresh, sizeof fresh) == 0 &&
                  replace_file(file.path, file.path + ".tmp",
                               std::string_view(reinterpret_cast<const char*>(fresh), sizeof fresh));
    if (stored) std::memcpy(out, fresh, sizeof fresh);
    explicit_bzero(fresh, sizeof fresh);
    return stored;
}

}  // namespace
}  // namespace tarn::jwt

extern "C" int id_get_secret_key(unsigned char out[32]) {
    if (!out) return -1;
    bool ok = false;
    try {
        ok = tarn::jwt::get_secret(out);
    } catch (...) {
    }
    if (!ok) explicit_bzero(out, tarn::jwt::kSecretLen);
    return ok ? 0 : -1;
}
