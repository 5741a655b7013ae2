// jwks: the CGI program that publishes the provider's signing keys as a JSON Web Key Set.
// It reads nothing of the request; every request gets the same answer, with status 200.
#include <cstdio>

#include "identity_common.h"

int main() {
    cgi_header_json();
    cgi_header_extra("Cache-Control: public, max-age=300");
    cgi_headers_end();
    std::fputs("{\"keys\":[]}\n", stdout);
    return 0;
}
