// jwks: the CGI program that publishes the provider's signing keys as a JSON Web Key Set.
// It reads nothing of the request; every request gets the same answer, with status 200. On the
// first request ever the key store creates the first key pair before answering. When the
// configuration names a published key set (jwks_file), the web server serves that file instead
// and asks this program only while it is missing, which this program then writes.
#include <cstdio>

#include "id_foundation.h"
#include "id_keys.h"
#include "tarn_cgi.h"

int main() {
    cgi_header_json();
    cgi_header_extra("Cache-Control: public, max-age=300");
    cgi_headers_end();
    // The headers are out before the store is consulted: a failure only empties the key array.
    // Loading the keys also puts a configured published file right (id_keys_jwks_document).
    char* body = id_keys_jwks_document();
    std::fputs(body ? body : "{\"keys\":[]}\n", stdout);
    id_free(body);
    return 0;
}
