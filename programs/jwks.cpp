// jwks: the CGI program that publishes the provider's signing keys as a JSON Web Key Set.
// It reads nothing of the request; every request gets the same answer, with status 200. On the
// first request ever the key store creates the first key pair before answering.
#include <cstdio>

#include "id_foundation.h"
#include "id_keys.h"
#include "tarn_cgi.h"

int main() {
    cgi_header_json();
    cgi_header_extra("Cache-Control: public, max-age=300");
    cgi_headers_end();
    // The headers are out before the store is consulted: a failure only empties the key array.
    char* keys = id_keys_jwks_json();
    if (keys) {
        std::printf("{\"keys\":%s}\n", keys);
        id_free(keys);
    } else {
        std::fputs("{\"keys\":[]}\n", stdout);
    }
    return 0;
}
