// Small pieces every user of a module needs: a session closed unless handed on, one bounded
// object search, one bounded attribute read, and the VKO derivation of a key-encryption key.
// They report what failed and leave the wording of the message to their caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engines/pkcs11/p11_defs.h"

namespace p11 {

// Objects one search returns, at most.
inline constexpr CK_ULONG kMaxObjects = 256;

// A session closed when it goes out of scope, unless released to a new owner.
struct Session {
    CK_FUNCTION_LIST* f;
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    explicit Session(CK_FUNCTION_LIST* fl) : f(fl) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (handle != CK_INVALID_HANDLE) f->C_CloseSession(handle);
    }
    CK_SESSION_HANDLE release() {
        const CK_SESSION_HANDLE h = handle;
        handle = CK_INVALID_HANDLE;
        return h;
    }
};

// One object search of up to max objects. On failure `call` says which call failed (0 init,
// 1 find, 2 final).
struct Search {
    std::vector<CK_OBJECT_HANDLE> found;
    CK_RV rv = CKR_OK;
    int call = 0;
};
Search find_objects(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_ATTRIBUTE* tmpl, CK_ULONG n,
                    CK_ULONG max = kMaxObjects);

// An attribute's value: its length asked first and bounded, then read into a buffer of exactly
// that size. `call` says which call failed (0 length, 1 value); bad_length marks a length that
// is unavailable, out of bounds, or changed between the two calls.
struct Attribute {
    std::vector<unsigned char> value;
    CK_RV rv = CKR_OK;
    int call = 0;
    bool bad_length = false;
    CK_ULONG length = 0;  // as the module reported it
    bool ok() const { return rv == CKR_OK && !bad_length; }
};
Attribute read_attribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE obj,
                         CK_ATTRIBUTE_TYPE type, CK_ULONG max_len);

// C_SignInit, then C_Sign of the input into out; *out_len is the room in, the signature's length
// out. On failure `call` says which call failed (0 C_SignInit, 1 C_Sign).
struct Signed {
    CK_RV rv = CKR_OK;
    int call = 0;
    bool ok() const { return rv == CKR_OK; }
};
Signed sign(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key,
            CK_MECHANISM_TYPE mechanism, const unsigned char* in, size_t in_len, unsigned char* out,
            CK_ULONG* out_len);
// The message of a failed signature, with fn as the function that asked for it and step as the
// number of its C_SignInit failure (C_Sign's is the next).
std::string sign_failure_text(const char* fn, int step, const Signed& r);

// VKO on the token: a session key of type GOST 28147-89 derived from the private key, the
// sender's public key (raw x || y) and the UKM, whose value is read back into kek (32 bytes) and
// the key destroyed at once. `step` on failure: 2 C_DeriveKey, 3 the length read, 4 a length
// other than 32, 5 the value read.
struct Derived {
    CK_RV rv = CKR_OK;
    int step = 0;
    CK_ULONG length = 0;
    bool ok() const { return step == 0; }
};
Derived derive_kek(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key,
                   CK_MECHANISM_TYPE mechanism, const unsigned char* peer, size_t peer_len,
                   const unsigned char* param_der, size_t param_der_len, const unsigned char* ukm,
                   size_t ukm_len, unsigned char kek[32]);
// Lowercase hexadecimal, two digits a byte.
std::string hex(const unsigned char* p, size_t n);

// The message of a failed derivation, with fn as the function that asked for it.
std::string derive_failure_text(const char* fn, const Derived& d);

}  // namespace p11
