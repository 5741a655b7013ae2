/* A C program of the kind the provider's other endpoints are: it includes the public header with
 * a C compiler and calls the library through its C interface only. Exit status 0 when every check
 * holds; a failed check prints its line and exits 1. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "identity_common.h"

static int failures = 0;
#define CHECK(cond)                                                  \
    do {                                                             \
        if (!(cond)) {                                               \
            fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
            ++failures;                                              \
        }                                                            \
    } while (0)

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: consumer DATA_DIR\n");
        return 2;
    }
    setenv("IDENTITY_DATA_DIR", argv[1], 1);

    id_config cfg;
    id_get_config(&cfg);
    CHECK(strcmp(cfg.data_dir, argv[1]) == 0);
    CHECK(sizeof cfg.data_dir == 1024 && sizeof cfg.base_url == 256 && sizeof cfg.admin_secret == 256);

    id_lock lock;
    CHECK(id_lock_acquire(&lock, "c.json") == 0);
    id_json_doc *doc = id_json_doc_parse("{\"from\":\"C\"}", 12);
    CHECK(doc != NULL);
    CHECK(id_save_json_file("c.json", doc) == 0);
    id_json_doc_free(doc);
    CHECK(id_lock_release(&lock) != 0);
    id_json_doc *back = id_load_json_file("c.json");
    CHECK(back != NULL);
    char *text = id_json_doc_write(back, 0);
    CHECK(text && strcmp(text, "{\"from\":\"C\"}") == 0);
    id_free(text);
    id_json_doc_free(back);

    char path[64];
    tarn_path_join(path, sizeof path, "data", "keys.json");
    CHECK(strcmp(path, "data/keys.json") == 0);

    unsigned char digest[32];
    char hex[65];
    tarn_sha256("abc", 3, digest);
    tarn_hex_encode(digest, sizeof digest, hex, sizeof hex);
    CHECK(strcmp(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad") == 0);

    if (failures == 0) printf("C interface: all checks passed\n");
    return failures ? 1 : 0;
}
