// A small BER coder for the GOST key-transport structure: the "gost" engine writes that
// structure itself and reads it back without going through the crypto library's templates.
#pragma once

#include <cstdint>

// Every encoder runs twice: first to learn the encoded length, then to write a buffer of
// exactly that length (malloc'ed; the caller frees it). Both passes return 1, failure 0.
enum : int { BER_ENCODE = 0, BER_LENGTH_ONLY = 1 };

// Content below 2^24 bytes; longer content is refused.
[[nodiscard]] int ber_encode_OCTET_STRING(const uint8_t* data, uint32_t len, int mode,
                                          uint8_t** out, uint32_t* out_len);
[[nodiscard]] int ber_encode_BIT_STRING(uint8_t unused_bits, const uint8_t* data, uint32_t len,
                                        int mode, uint8_t** out, uint32_t* out_len);
// Content is the concatenation of already encoded elements.
[[nodiscard]] int ber_encode_SEQUENCE(const uint8_t* content, uint32_t len, int mode, uint8_t** out,
                                      uint32_t* out_len);
[[nodiscard]] int ber_encode_CONTEXT_SPECIFIC(const uint8_t* content, uint32_t len, int mode,
                                              uint8_t** out, uint32_t* out_len);

// Decoders read the element at `in`, which must lie wholly within the `avail` bytes there.
// They point into the input: content, its length, and the element's total length.
[[nodiscard]] int ber_decode_OCTET_STRING(const uint8_t* in, uint32_t avail,
                                          const uint8_t** content, uint32_t* content_len,
                                          uint32_t* total_len);
// Returns the bytes after the unused-bits byte; an element without that byte is refused.
[[nodiscard]] int ber_decode_BIT_STRING(const uint8_t* in, uint32_t avail, const uint8_t** content,
                                        uint32_t* content_len, uint32_t* total_len);
[[nodiscard]] int ber_decode_SEQUENCE(const uint8_t* in, uint32_t avail, const uint8_t** content,
                                      uint32_t* content_len, uint32_t* total_len);
[[nodiscard]] int ber_decode_CONTEXT_SPECIFIC(const uint8_t* in, uint32_t avail,
                                              const uint8_t** content, uint32_t* content_len,
                                              uint32_t* total_len);

// SEQUENCE { OCTET STRING encrypted key, OCTET STRING MAC }.
[[nodiscard]] int ber_encode_GostR3410_EncryptedKey(const uint8_t* encrypted_key,
                                                    uint32_t encrypted_key_len, const uint8_t* imit,
                                                    uint32_t imit_len, int mode, uint8_t** out,
                                                    uint32_t* out_len);
// A SubjectPublicKeyInfo tagged [0]; the three identifiers are whole DER elements.
[[nodiscard]] int ber_encode_GostR3410_EphemeralKey(
    const uint8_t* alg_oid, uint32_t alg_oid_len, const uint8_t* curve_oid, uint32_t curve_oid_len,
    const uint8_t* digest_oid, uint32_t digest_oid_len, const uint8_t* public_key,
    uint32_t public_key_len, int mode, uint8_t** out, uint32_t* out_len);
// [0] { cipher OID, ephemeral key element (may be absent: null, 0), OCTET STRING UKM }.
[[nodiscard]] int ber_encode_GostR3410_TransportParameters(
    const uint8_t* cipher_oid, uint32_t cipher_oid_len, const uint8_t* ephemeral_key,
    uint32_t ephemeral_key_len, const uint8_t* ukm, uint32_t ukm_len, int mode, uint8_t** out,
    uint32_t* out_len);
// SEQUENCE { encrypted key element, transport parameters element }.
[[nodiscard]] int ber_encode_GostR3410_KeyTransport(const uint8_t* encrypted_key,
                                                    uint32_t encrypted_key_len,
                                                    const uint8_t* transport_params,
                                                    uint32_t transport_params_len, int mode,
                                                    uint8_t** out, uint32_t* out_len);

// Views into a decoded key transport. Identifiers are whole DER elements; the ephemeral-key
// fields stay empty when the sender sent none.
struct ber_key_transport {
    const uint8_t* encrypted_key;
    uint32_t encrypted_key_len;
    const uint8_t* imit;
    uint32_t imit_len;
    const uint8_t* cipher_oid;
    uint32_t cipher_oid_len;
    const uint8_t* alg_oid;
    uint32_t alg_oid_len;
    const uint8_t* curve_oid;
    uint32_t curve_oid_len;
    const uint8_t* digest_oid;
    uint32_t digest_oid_len;
    const uint8_t* public_key;
    uint32_t public_key_len;
    const uint8_t* ukm;
    uint32_t ukm_len;
};

[[nodiscard]] int ber_decode_GostR3410_KeyTransport(const uint8_t* in, uint32_t in_len,
                                                    ber_key_transport* out);
