// A small PKCS#11 module for tests: GOST R 34.10-2001, 2012-256 and 2012-512 keys that sign with
// the GOST mechanisms and derive (VKO) keys whose value can be read back, certificates, slots
// with PINs, key-pair generation, and switches that make it fail the way real tokens do. A test
// sets it up through these functions; the code under test reaches it as any module, through
// C_GetFunctionList.
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
    P11TOKEN_SIGN_LENGTH = 4,        // C_Sign signs but reports this length (0: the true one)
    P11TOKEN_SIGN_UNWRITTEN = 5,     // C_Sign answers CKR_OK and its length, writing nothing
    P11TOKEN_WITHOUT_SIGN = 6,       // C_GetFunctionList gives a list without C_Sign
    P11TOKEN_FAULT_COUNT = 7
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
// The same with a PIN of any bytes (NUL bytes included).
unsigned long p11token_add_slot_with_pin(const void* pin, size_t pin_len);
// A slot that lists a token which cannot be used: C_OpenSession answers CKR_TOKEN_NOT_RECOGNIZED.
unsigned long p11token_add_broken_slot(void);
void p11token_add_cert(unsigned long slot, const unsigned char* id, size_t id_len,
                       const unsigned char* der, size_t der_len);
// A key pair: the private object, and after it the public one (CKA_VALUE x || y little-endian),
// both with the key type and the curve and digest parameter sets. priv: the little-endian
// private scalar (32 or 64 bytes); param_der: the DER of the curve's object identifier.
// Returns the private object's handle (the public one's is one more).
unsigned long p11token_add_gost_key(unsigned long slot, const unsigned char* id, size_t id_len,
                                    int kind, const unsigned char* param_der, size_t param_der_len,
                                    const unsigned char* priv, size_t priv_len);
// A bare object of the class, whose attributes a test sets; returns its handle.
unsigned long p11token_add_object(unsigned long slot, unsigned long cls, const unsigned char* id,
                                  size_t id_len);
// The first object of the slot with that class and CKA_ID; 0 when none.
unsigned long p11token_find_object(unsigned long slot, unsigned long cls, const unsigned char* id,
                                   size_t id_len);
// Adds or replaces an attribute as readers and searches see it (any length).
void p11token_set_attribute(unsigned long object, unsigned long type, const void* value,
                            size_t len);
// The token label C_GetTokenInfo gives (blank-padded to 32 bytes); the serial number is the
// slot id in 16 decimal digits.
void p11token_set_label(unsigned long slot, const char* label);
// Writes the slots, key pairs and certificates to a file that the module of another process
// loads at its first C_Initialize when the environment variable P11TOKEN_STATE names it
// (labels and attributes set by tests are not written). 0 on success.
int p11token_save(const char* path);
void p11token_set_fault(int fault, long value);
void p11token_get_stats(struct p11token_stats* out);

#ifdef __cplusplus
}
#endif
