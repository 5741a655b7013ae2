/* The floor of a CGI response: a minimal C program that writes the same bytes as jwks and
 * exits. bench/run_keys_bench.sh generates KEYS_RESPONSE_INC (the captured jwks response as a
 * C string literal) and compiles this with plain `cc -O2`. */
#include <stdio.h>

static const char response[] =
#include KEYS_RESPONSE_INC
    ;

int main(void) {
    fwrite(response, 1, sizeof response - 1, stdout);
    return 0;
}
