// Our own codec: the crypto library's line-mode filter returns wrong bytes, with success, for
// a line of 1024 characters or more.
#include "ssf/base64.h"

#include <array>
#include <cstring>

namespace ssf {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineChars = 64;
constexpr size_t kLineBytes = kLineChars / 4 * 3;

constexpr uint8_t kInvalid = 0xFF, kPad = 0xFE, kLf = 0xFD, kCr = 0xFC;

constexpr std::array<uint8_t, 256> make_decode_table() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = kInvalid;
    for (uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
    t['='] = kPad;
    t['\n'] = kLf;
    t['\r'] = kCr;
    return t;
}
constexpr auto kDecode = make_decode_table();

size_t encoded_size(size_t n, bool no_newline) {
    size_t chars = (n + 2) / 3 * 4;
    return no_newline ? chars : chars + (n + kLineBytes - 1) / kLineBytes;
}

void encode_group(const unsigned char* in, size_t n, char* out) {
    uint32_t v = static_cast<uint32_t>(in[0]) << 16;
    if (n > 1) v |= static_cast<uint32_t>(in[1]) << 8;
    if (n > 2) v |= in[2];
    out[0] = kAlphabet[(v >> 18) & 63];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    out[3] = n > 2 ? kAlphabet[v & 63] : '=';
}

void encode_into(Bytes in, bool no_newline, unsigned char* out) {
    char* o = reinterpret_cast<char*>(out);
    size_t i = 0;
    while (i < in.size()) {
        const size_t line_end = std::min(in.size(), i + kLineBytes);
        for (; i < line_end; i += 3) {
            encode_group(in.data() + i, std::min<size_t>(3, line_end - i), o);
            o += 4;
        }
        if (!no_newline) *o++ = '\n';
    }
}

// Decodes into out (room for 3/4 of the input) and returns the byte count; -1 for anything
// that is not Base64: a stray character, a CR not followed by LF, a short final group, or data
// after the padding.
long decode_into(Bytes in, unsigned char* out, size_t& bad_at) {
    uint32_t acc = 0;
    int have = 0;  // sextets of the current group
    int pads = 0;  // '=' of the current group
    bool ended = false;
    size_t n = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        const uint8_t v = kDecode[in[i]];
        if (v == kLf || (v == kCr && i + 1 < in.size() && in[i + 1] == '\n')) continue;
        bad_at = i;
        if (ended || v == kInvalid || v == kCr) return -1;
        if (v == kPad) {
            if (have < 2) return -1;
            if (have + ++pads < 4) continue;
            // "xx==" carries one byte, "xxx=" two; this group ends the text.
            acc <<= 6 * pads;
            out[n++] = static_cast<unsigned char>(acc >> 16);
            if (have == 3) out[n++] = static_cast<unsigned char>(acc >> 8);
            ended = true;
            continue;
        }
        if (pads > 0) return -1;
        acc = (acc << 6) | v;
        if (++have < 4) continue;
        out[n++] = static_cast<unsigned char>(acc >> 16);
        out[n++] = static_cast<unsigned char>(acc >> 8);
        out[n++] = static_cast<unsigned char>(acc);
        acc = 0;
        have = 0;
    }
    bad_at = in.size();
    if (!ended && (have != 0 || pads != 0)) return -1;
    return static_cast<long>(n);
}

}  // namespace

int base64_enc_dec(int encode, OutData& out, Bytes input, bool no_newline) {
    static const char* fn = "base64_enc_dec";
    out = OutData{};
    const size_t room = encode ? encoded_size(input.size(), no_newline) : input.size() / 4 * 3 + 3;
    if (room > UINT32_MAX) {
        log_error("%s() : OPENSSL_malloc( %zu ) failed", fn, room);
        return SSF_RC_MEMORY;
    }
    ossl::Bytes buf(static_cast<unsigned char*>(room ? OPENSSL_malloc(room) : nullptr));
    size_t size = 0;
    if (buf && encode) {
        encode_into(input, no_newline, buf.get());
        size = room;
    } else if (buf) {
        size_t bad_at = 0;
        long n = decode_into(input, buf.get(), bad_at);
        if (n < 0) {
            log_error("%s() : invalid Base64 text at offset %zu", fn, bad_at);
            return SSF_RC_MEMORY;
        }
        size = static_cast<size_t>(n);
    }
    if (!buf || size == 0) {
        log_error("%s() : OPENSSL_malloc( %zu ) failed", fn, size);
        return SSF_RC_MEMORY;
    }
    out.data = std::move(buf);
    out.size = static_cast<uint32_t>(size);
    return SSF_RC_OK;
}

int base64_encode(OutData& out, Bytes input, bool no_newline) {
    int rc = base64_enc_dec(1, out, input, no_newline);
    if (rc != 0) log_error("%s() : base64_enc_dec( 1 ) failed", "base64_encode");
    return rc;
}

int base64_decode(OutData& out, Bytes input, bool no_newline) {
    int rc = base64_enc_dec(0, out, input, no_newline);
    if (rc != 0) log_error("%s() : base64_enc_dec( 0 ) failed", "base64_decode");
    return rc;
}

}  // namespace ssf
