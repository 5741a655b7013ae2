/* Registers users and clients in the configured data directory for the end-to-end tests, through
 * the library's C interface (as an operator's tool will):
 *   provider_fixture user NAME PASSWORD [EMAIL]              prints the user id
 *   provider_fixture client NAME REDIRECT_URI SCOPES public|confidential
 *                                                          prints the client id and secret
 *   provider_fixture delete-user ID
 *   provider_fixture codes USER_ID CLIENT_ID REDIRECT_URI CHALLENGE N   prints N codes (S256)
 *   provider_fixture refresh-tokens USER_ID CLIENT_ID N                 prints N refresh tokens
 *   provider_fixture sessions USER_ID USERNAME N                        prints N session ids, one
 *                                                                      at a time (flushed)
 *   provider_fixture consent USER_ID CLIENT_ID SCOPES
 *   provider_fixture audit EVENT USER_ID USERNAME DETAIL
 * Exit status 0, 1 when the library refuses (its message on standard error), 2 for usage. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "identity_common.h"

int main(int argc, char **argv) {
    char id[256], secret[256], msg[256];
    if (argc >= 4 && argc <= 5 && strcmp(argv[1], "user") == 0) {
        if (id_user_create_v(argv[2], argv[3], argc == 5 ? argv[4] : "", id, sizeof id, msg, sizeof msg) != 0) {
            fprintf(stderr, "user not created: %s\n", msg);
            return 1;
        }
        puts(id);
        return 0;
    }
    if (argc == 6 && strcmp(argv[1], "client") == 0) {
        const int is_public = strcmp(argv[5], "public") == 0;
        if (id_client_create(argv[2], argv[3], argv[4], id, sizeof id, secret, sizeof secret, is_public, msg,
                             sizeof msg) != 0) {
            fprintf(stderr, "client not created: %s\n", msg);
            return 1;
        }
        printf("%s %s\n", id, secret);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "delete-user") == 0) {
        if (id_user_delete(argv[2]) != 0) {
            fprintf(stderr, "user not deleted\n");
            return 1;
        }
        return 0;
    }
    if (argc == 7 && strcmp(argv[1], "codes") == 0) {
        for (int i = atoi(argv[6]); i > 0; --i) {
            if (id_auth_code_create_v(argv[2], "", argv[3], argv[4], "openid profile email", argv[5], "S256", "n-1",
                                      (int64_t)time(NULL), id, sizeof id) != 0)
                return 1;
            puts(id);
        }
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "refresh-tokens") == 0) {
        for (int i = atoi(argv[4]); i > 0; --i) {
            if (id_refresh_token_create(argv[2], "", argv[3], "openid profile email", id, sizeof id) != 0) return 1;
            puts(id);
        }
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "sessions") == 0) {
        for (int i = atoi(argv[4]); i > 0; --i) {
            if (id_session_create(argv[2], argv[3], id, sizeof id) != 0) return 1;
            puts(id);
            fflush(stdout);
        }
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "consent") == 0) return id_consent_set(argv[2], argv[3], argv[4]) == 0 ? 0 : 1;
    if (argc == 6 && strcmp(argv[1], "audit") == 0)
        return id_audit_record(argv[2], argv[3], argv[4], "192.0.2.1", argv[5]) == 0 ? 0 : 1;
    fprintf(stderr, "usage: provider_fixture user NAME PASSWORD [EMAIL] | client NAME URI SCOPES public|confidential | delete-user ID | codes ... | refresh-tokens ...\n");
    return 2;
}
