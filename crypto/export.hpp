// Marks the definitions of the public C functions of tarn_crypto.h. The library is built with
// hidden visibility, so only what carries this mark leaves the shared object.
#pragma once

#define TARN_CRYPTO_API extern "C" __attribute__((visibility("default")))
