/* Public interface of the identity core, the one header a consumer includes: it includes every
 * public header of the library, from the crypto primitives and the CGI helpers through the
 * foundation (configuration, JSON documents and their advisory locks, server log), request
 * parameters, the signing keys and the stores (clients, consents, sign-in protection, the audit
 * trail, tokens, accounts) to the JSON Web Tokens. Every function has C linkage; nothing throws.
 * Texts handed out on the heap are released with id_free. Memory running out while a document is
 * read, built or written is a failure with the documented failure result (-1, 0, NULL, a
 * listing's empty form), never a crash. A document read without its lock while another process
 * first creates it reads as missing or as the new document, never as unreadable. The signing keys
 * as BearSSL key views are in id_keys_bearssl.h, which this header does not include. */
#ifndef IDENTITY_COMMON_H
#define IDENTITY_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "tarn_crypto.h"
#include "tarn_cgi.h"
#include "id_foundation.h"
#include "id_request.h"
#include "id_keys.h"
#include "id_clients.h"
#include "id_consent.h"
#include "id_signin.h"
#include "id_audit.h"
#include "id_tokens.h"
#include "id_accounts.h"
#include "id_jwt.h"

#endif
