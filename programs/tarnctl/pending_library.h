/* TEMPORARY: declarations of the library calls tarnctl awaits (see pending_library.cpp). */
#pragma once
#include <stddef.h>
#include <stdint.h>
extern "C" int id_client_create_v(const char* name, const char* const* uris, size_t count, const char* scopes,
                                  char* client_id_out, size_t client_id_cap, char* secret_out, size_t secret_cap,
                                  int is_public, char* msg, size_t msg_cap);
extern "C" int id_keys_prune_age(int64_t max_age, int dry_run, char* kids, size_t cap);
extern "C" char* id_config_report_json(void);
extern "C" char* id_keys_inspect_json(void);
