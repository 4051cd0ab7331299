// Keys whose private half lives elsewhere (on a PKCS#11 token) still are "gost" engine keys:
// verification, sizes and encodings stay the engine's. Their owner installs one signer, once
// per process, with the key extra-data index under which such keys carry their record; the
// engine's sign operation hands every key with a record there to that signer, and signs every
// other key itself.
#pragma once

#include <openssl/evp.h>

#include <cstddef>

// Returns the signature length (or, without sig, the length a signature needs), -1 on failure.
using TvkTokenSigner = int (*)(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen,
                               const unsigned char* tbs, size_t tbslen);

void tvk_install_token_signer(int pkey_ex_index, TvkTokenSigner signer);
