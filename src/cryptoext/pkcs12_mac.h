// MAC check of PKCS#12 files that accepts both ways GOST files are written: the standard PKCS#12
// key derivation, and the TC26 rule (PBKDF2, key taken from the tail of 96 derived bytes).
#pragma once

#include <openssl/pkcs12.h>

// 1 when the stored MAC matches under the standard rule, or under the TC26 rule for a GOST
// digest; 0 otherwise (no MAC, unknown digest, wrong password). passlen < 0: pass is NUL-ended.
[[nodiscard]] int tvk_PKCS12_verify_mac(const PKCS12* p12, const char* pass, int passlen);
