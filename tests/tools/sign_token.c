/* Signs the payload given as the only argument with the active key of the configured data
 * directory and prints the compact token. A C program linked against the shared library, as the
 * provider's token endpoint would be. Exit status 0, or 1 when signing fails. */
#include <stdio.h>

#include "identity_common.h"

int main(int argc, char **argv) {
    static char token[8192];
    if (argc != 2) {
        fprintf(stderr, "usage: sign_token PAYLOAD\n");
        return 2;
    }
    if (id_jwt_sign_rs256(argv[1], token, sizeof token) != 0) {
        fprintf(stderr, "signing failed\n");
        return 1;
    }
    fputs(token, stdout);
    return 0;
}
