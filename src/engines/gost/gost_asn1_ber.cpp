#include "engines/gost/gost_asn1_ber.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagBitString = 0x03;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagContext0 = 0xA0;
constexpr uint32_t kMaxContent = 1u << 24;

#define BER_FAILED(fn) \
    std::fprintf(stderr, "%s:%d %s Function Failed\n", __FILE_NAME__, __LINE__, fn)
#define BER_SAY(text) std::fprintf(stderr, "%s:%d " text "\n", __FILE_NAME__, __LINE__)

// Number of length octets for a content length; 0 when the length cannot be written.
uint32_t len_of_len(uint32_t len) {
    if (len < 0x80) return 1;
    if (len < 0x100) return 2;
    if (len < 0x10000) return 3;
    if (len < kMaxContent) return 4;
    std::fprintf(stderr, "%s:%d %s Too large data length: %u\n", __FILE_NAME__, __LINE__,
                 "len_of_len", len);
    return 0;
}

struct Piece {
    const uint8_t* p;
    uint32_t n;
};

// Writes tag, length and the pieces one after another; pieces with n == 0 may be null.
int encode_element(const char* fn, uint8_t tag, std::initializer_list<Piece> pieces, int mode,
                   uint8_t** out, uint32_t* out_len) {
    if (!out_len || (mode != BER_ENCODE && mode != BER_LENGTH_ONLY) ||
        (mode == BER_ENCODE && !out)) {
        BER_FAILED(fn);
        return 0;
    }
    uint64_t content = 0;
    for (const Piece& pc : pieces) {
        if (pc.n && !pc.p && mode == BER_ENCODE) {
            BER_FAILED(fn);
            return 0;
        }
        content += pc.n;
    }
    const uint32_t ll =
        len_of_len(content > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(content));
    if (ll == 0) {
        BER_FAILED(fn);
        return 0;
    }
    const uint32_t total = 1 + ll + static_cast<uint32_t>(content);
    if (mode == BER_LENGTH_ONLY) {
        *out_len = total;
        return 1;
    }
    auto* buf = static_cast<uint8_t*>(std::malloc(total));
    if (!buf) {
        BER_SAY("Not Enough Memory in Context");
        return 0;
    }
    uint8_t* w = buf;
    *w++ = tag;
    if (ll == 1) {
        *w++ = static_cast<uint8_t>(content);
    } else {
        *w++ = static_cast<uint8_t>(0x80 | (ll - 1));
        for (uint32_t i = ll - 1; i > 0; --i) *w++ = static_cast<uint8_t>(content >> (8 * (i - 1)));
    }
    for (const Piece& pc : pieces) {
        if (pc.n) std::memcpy(w, pc.p, pc.n);
        w += pc.n;
    }
    *out = buf;
    *out_len = total;
    return 1;
}

// Reads one element of the given tag that lies wholly within avail bytes.
int decode_element(const char* fn, uint8_t tag, const uint8_t* in, uint32_t avail,
                   const uint8_t** content, uint32_t* content_len, uint32_t* total_len) {
    if (!in || !content || !content_len || !total_len || avail < 2 || in[0] != tag) {
        BER_FAILED(fn);
        return 0;
    }
    uint32_t len = in[1];
    uint32_t hdr = 2;
    if (len >= 0x80) {
        const uint32_t n = len & 0x7f;
        if (n < 1 || n > 3 || avail < 2 + n) {
            BER_FAILED(fn);
            return 0;
        }
        len = 0;
        for (uint32_t i = 0; i < n; ++i) len = len << 8 | in[2 + i];
        hdr += n;
    }
    if (len > avail - hdr) {
        BER_FAILED(fn);
        return 0;
    }
    *content = in + hdr;
    *content_len = len;
    *total_len = hdr + len;
    return 1;
}

// An object identifier as a whole element; only the short length form is taken.
int decode_oid(const uint8_t* in, uint32_t avail, const uint8_t** oid, uint32_t* oid_len) {
    if (avail < 2 || in[0] != kTagOid || in[1] >= 0x80 || in[1] == 0 || in[1] > avail - 2u)
        return 0;
    *oid = in;
    *oid_len = 2u + in[1];
    return 1;
}

// Owner of an encoder's output inside the composite coders.
struct Buf {
    uint8_t* p = nullptr;
    uint32_t n = 0;
    ~Buf() { std::free(p); }
    Piece piece() const { return {p, n}; }
};

}  // namespace

int ber_encode_OCTET_STRING(const uint8_t* data, uint32_t len, int mode, uint8_t** out,
                            uint32_t* out_len) {
    return encode_element("ber_encode_OCTET_STRING", kTagOctetString, {{data, len}}, mode, out,
                          out_len);
}

int ber_encode_BIT_STRING(uint8_t unused_bits, const uint8_t* data, uint32_t len, int mode,
                          uint8_t** out, uint32_t* out_len) {
    return encode_element("ber_encode_BIT_STRING", kTagBitString, {{&unused_bits, 1}, {data, len}},
                          mode, out, out_len);
}

int ber_encode_SEQUENCE(const uint8_t* content, uint32_t len, int mode, uint8_t** out,
                        uint32_t* out_len) {
    return encode_element("ber_encode_SEQUENCE", kTagSequence, {{content, len}}, mode, out,
                          out_len);
}

int ber_encode_CONTEXT_SPECIFIC(const uint8_t* content, uint32_t len, int mode, uint8_t** out,
                                uint32_t* out_len) {
    return encode_element("ber_encode_CONTEXT_SPECIFIC", kTagContext0, {{content, len}}, mode, out,
                          out_len);
}

int ber_decode_OCTET_STRING(const uint8_t* in, uint32_t avail, const uint8_t** content,
                            uint32_t* content_len, uint32_t* total_len) {
    return decode_element("ber_decode_OCTET_STRING", kTagOctetString, in, avail, content,
                          content_len, total_len);
}

int ber_decode_BIT_STRING(const uint8_t* in, uint32_t avail, const uint8_t** content,
                          uint32_t* content_len, uint32_t* total_len) {
    const uint8_t* c;
    uint32_t n, t;
    if (!decode_element("ber_decode_BIT_STRING", kTagBitString, in, avail, &c, &n, &t)) return 0;
    if (n == 0) {  // not even the unused-bits byte
        BER_FAILED("ber_decode_BIT_STRING");
        return 0;
    }
    *content = c + 1;
    *content_len = n - 1;
    *total_len = t;
    return 1;
}

int ber_decode_SEQUENCE(const uint8_t* in, uint32_t avail, const uint8_t** content,
                        uint32_t* content_len, uint32_t* total_len) {
    return decode_element("ber_decode_SEQUENCE", kTagSequence, in, avail, content, content_len,
                          total_len);
}

int ber_decode_CONTEXT_SPECIFIC(const uint8_t* in, uint32_t avail, const uint8_t** content,
                                uint32_t* content_len, uint32_t* total_len) {
    return decode_element("ber_decode_CONTEXT_SPECIFIC", kTagContext0, in, avail, content,
                          content_len, total_len);
}

int ber_encode_GostR3410_EncryptedKey(const uint8_t* encrypted_key, uint32_t encrypted_key_len,
                                      const uint8_t* imit, uint32_t imit_len, int mode,
                                      uint8_t** out, uint32_t* out_len) {
    Buf k, m, all;
    if (!ber_encode_OCTET_STRING(encrypted_key, encrypted_key_len, mode, &k.p, &k.n) ||
        !ber_encode_OCTET_STRING(imit, imit_len, mode, &m.p, &m.n)) {
        BER_SAY("Encode Octet String Failed");
        return 0;
    }
    if (!encode_element("ber_encode_SEQUENCE", kTagSequence, {k.piece(), m.piece()}, mode, out,
                        out_len)) {
        BER_SAY("Encode Sequence Failed");
        return 0;
    }
    return 1;
}

int ber_encode_GostR3410_EphemeralKey(const uint8_t* alg_oid, uint32_t alg_oid_len,
                                      const uint8_t* curve_oid, uint32_t curve_oid_len,
                                      const uint8_t* digest_oid, uint32_t digest_oid_len,
                                      const uint8_t* public_key, uint32_t public_key_len, int mode,
                                      uint8_t** out, uint32_t* out_len) {
    Buf params, alg, key, bits;
    if (!encode_element("ber_encode_SEQUENCE", kTagSequence,
                        {{curve_oid, curve_oid_len}, {digest_oid, digest_oid_len}}, mode, &params.p,
                        &params.n) ||
        !encode_element("ber_encode_SEQUENCE", kTagSequence,
                        {{alg_oid, alg_oid_len}, params.piece()}, mode, &alg.p, &alg.n)) {
        BER_SAY("Encode Sequence Failed");
        return 0;
    }
    if (!ber_encode_OCTET_STRING(public_key, public_key_len, mode, &key.p, &key.n)) {
        BER_SAY("Encode Octet String Failed");
        return 0;
    }
    if (!ber_encode_BIT_STRING(0, key.p, key.n, mode, &bits.p, &bits.n)) {
        BER_SAY("Encode Bit String Failed");
        return 0;
    }
    if (!encode_element("ber_encode_CONTEXT_SPECIFIC", kTagContext0, {alg.piece(), bits.piece()},
                        mode, out, out_len)) {
        BER_SAY("Encode Context Specific Failed");
        return 0;
    }
    return 1;
}

int ber_encode_GostR3410_TransportParameters(const uint8_t* cipher_oid, uint32_t cipher_oid_len,
                                             const uint8_t* ephemeral_key,
                                             uint32_t ephemeral_key_len, const uint8_t* ukm,
                                             uint32_t ukm_len, int mode, uint8_t** out,
                                             uint32_t* out_len) {
    Buf u;
    if (!ber_encode_OCTET_STRING(ukm, ukm_len, mode, &u.p, &u.n)) {
        BER_SAY("Encode Octet String Failed");
        return 0;
    }
    if (!encode_element(
            "ber_encode_CONTEXT_SPECIFIC", kTagContext0,
            {{cipher_oid, cipher_oid_len}, {ephemeral_key, ephemeral_key_len}, u.piece()}, mode,
            out, out_len)) {
        BER_SAY("Encode Context Specific Failed");
        return 0;
    }
    return 1;
}

int ber_encode_GostR3410_KeyTransport(const uint8_t* encrypted_key, uint32_t encrypted_key_len,
                                      const uint8_t* transport_params,
                                      uint32_t transport_params_len, int mode, uint8_t** out,
                                      uint32_t* out_len) {
    if (!encode_element(
            "ber_encode_SEQUENCE", kTagSequence,
            {{encrypted_key, encrypted_key_len}, {transport_params, transport_params_len}}, mode,
            out, out_len)) {
        BER_SAY("Encode Sequence Failed");
        return 0;
    }
    return 1;
}

namespace {

int decode_key_transport(const uint8_t* in, uint32_t in_len, ber_key_transport* out) {
    static const char fn[] = "ber_decode_GostR3410_KeyTransport";
    const uint8_t *all, *ek, *tp, *eph, *alg, *prm, *bits;
    uint32_t all_n, ek_n, tp_n, eph_n, alg_n, prm_n, bits_n, t;
    if (!ber_decode_SEQUENCE(in, in_len, &all, &all_n, &t) ||
        !ber_decode_SEQUENCE(all, all_n, &ek, &ek_n, &t)) {
        BER_SAY("Decode Sequence Failed");
        BER_FAILED(fn);
        return 0;
    }
    const uint8_t* rest = all + t;
    uint32_t rest_n = all_n - t;
    if (!ber_decode_OCTET_STRING(ek, ek_n, &out->encrypted_key, &out->encrypted_key_len, &t) ||
        !ber_decode_OCTET_STRING(ek + t, ek_n - t, &out->imit, &out->imit_len, &t)) {
        BER_SAY("Decode OCTET STRING Failed");
        BER_FAILED(fn);
        return 0;
    }
    if (!ber_decode_CONTEXT_SPECIFIC(rest, rest_n, &tp, &tp_n, &t)) {
        BER_SAY("Decode CONTEXT SPECIFIC Failed");
        BER_FAILED(fn);
        return 0;
    }
    if (!decode_oid(tp, tp_n, &out->cipher_oid, &out->cipher_oid_len)) {
        BER_FAILED(fn);
        return 0;
    }
    const uint8_t* p = tp + out->cipher_oid_len;
    uint32_t left = tp_n - out->cipher_oid_len;
    if (left > 0 && p[0] == kTagContext0) {
        if (!ber_decode_CONTEXT_SPECIFIC(p, left, &eph, &eph_n, &t)) {
            BER_SAY("Decode CONTEXT SPECIFIC Failed");
            BER_FAILED(fn);
            return 0;
        }
        p += t;
        left -= t;
        uint32_t alg_t, prm_t;
        if (!ber_decode_SEQUENCE(eph, eph_n, &alg, &alg_n, &alg_t) ||
            !decode_oid(alg, alg_n, &out->alg_oid, &out->alg_oid_len) ||
            !ber_decode_SEQUENCE(alg + out->alg_oid_len, alg_n - out->alg_oid_len, &prm, &prm_n,
                                 &prm_t) ||
            !decode_oid(prm, prm_n, &out->curve_oid, &out->curve_oid_len) ||
            !decode_oid(prm + out->curve_oid_len, prm_n - out->curve_oid_len, &out->digest_oid,
                        &out->digest_oid_len)) {
            BER_SAY("Decode Sequence Failed");
            BER_FAILED(fn);
            return 0;
        }
        if (!ber_decode_BIT_STRING(eph + alg_t, eph_n - alg_t, &bits, &bits_n, &t)) {
            BER_SAY("Decode BIT STRING Failed");
            BER_FAILED(fn);
            return 0;
        }
        if (!ber_decode_OCTET_STRING(bits, bits_n, &out->public_key, &out->public_key_len, &t)) {
            BER_SAY("Decode OCTET STRING Failed");
            BER_FAILED(fn);
            return 0;
        }
    }
    if (!ber_decode_OCTET_STRING(p, left, &out->ukm, &out->ukm_len, &t)) {
        BER_SAY("Decode OCTET STRING Failed");
        BER_FAILED(fn);
        return 0;
    }
    return 1;
}

}  // namespace

int ber_decode_GostR3410_KeyTransport(const uint8_t* in, uint32_t in_len, ber_key_transport* out) {
    if (!out) {
        BER_FAILED("ber_decode_GostR3410_KeyTransport");
        return 0;
    }
    *out = ber_key_transport{};
    if (decode_key_transport(in, in_len, out)) return 1;
    *out = ber_key_transport{};
    return 0;
}
