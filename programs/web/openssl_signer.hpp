// RS256 signatures with OpenSSL's libcrypto, for the one program that signs on every request
// (the token endpoint): OpenSSL signs in about a fifth of BearSSL's time on this kind of machine,
// which more than pays its start-up when it is linked in statically. The library still builds
// every token and checks every signature with the public key before handing it out; only the
// private-key operation moves. Programs that do not sign do not link this.
#pragma once

namespace web {

// From now on, the library's RS256 signatures in this process are computed by OpenSSL (the key
// is handed over from the key store at the first signature). A key OpenSSL cannot take fails
// that signature (-1 from the mint), never a signature left unchecked.
void use_openssl_signer();

}  // namespace web
