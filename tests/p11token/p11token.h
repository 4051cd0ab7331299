// A small PKCS#11 module for tests: GOST R 34.10-2001, 2012-256 and 2012-512 keys that sign with
// the GOST mechanisms and derive (VKO) keys whose value can be read back, certificates, slots
// with PINs, and switches that make it fail the way real tokens do. A test sets it up through
// these functions; the code under test reaches it as any module, through C_GetFunctionList.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum p11token_key_kind {
    P11TOKEN_GOST2001 = 0,
    P11TOKEN_GOST2012_256 = 1,
    P11TOKEN_GOST2012_512 = 2
};

enum p11token_fault {
    P11TOKEN_REFUSE_OS_LOCKING = 0,  // C_Initialize with CKF_OS_LOCKING_OK answers CKR_CANT_LOCK
    P11TOKEN_SENSITIVE_DERIVED = 1,  // a derived key's CKA_VALUE is CKR_ATTRIBUTE_SENSITIVE
    P11TOKEN_DERIVED_LENGTH = 2,     // a derived key's value has this many bytes (0: 32)
    P11TOKEN_FAIL_SIGN = 3,          // C_Sign answers this CK_RV (0: signs)
    P11TOKEN_FAULT_COUNT = 4
};

struct p11token_stats {
    long initialize_calls;
    long finalize_calls;
    long open_sessions;  // now
    int initialised;
    unsigned long initialize_flags;  // of the last successful C_Initialize (0 without arguments)
    unsigned long last_mechanism;    // of the last C_SignInit or C_DeriveKey
};

// Back to no slots, no faults, not initialised, counters zero.
void p11token_reset(void);
// A slot holding a token with the given user PIN; returns its slot id.
unsigned long p11token_add_slot(const char* pin);
// A slot that lists a token which cannot be used: C_OpenSession answers CKR_TOKEN_NOT_RECOGNIZED.
unsigned long p11token_add_broken_slot(void);
void p11token_add_cert(unsigned long slot, const unsigned char* id, size_t id_len,
                       const unsigned char* der, size_t der_len);
// priv: the little-endian private scalar (32 or 64 bytes); param_der: the DER of the curve's
// object identifier.
void p11token_add_gost_key(unsigned long slot, const unsigned char* id, size_t id_len, int kind,
                           const unsigned char* param_der, size_t param_der_len,
                           const unsigned char* priv, size_t priv_len);
void p11token_set_fault(int fault, long value);
void p11token_get_stats(struct p11token_stats* out);

#ifdef __cplusplus
}
#endif
