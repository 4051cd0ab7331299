// PKCS#7 wrapping for transport: the first and last steps of every worker, and the PKCS#7
// formats of SsfEncode and SsfDecode.
#include "ssf/encode.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace ssf {

namespace {

ossl::Pkcs7 read_pkcs7(Bytes input) {
    const unsigned char* p = input.data();
    return ossl::Pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(input.size())));
}

bool signed_or_enveloped(const PKCS7* p7) {
    return PKCS7_type_is_signed(p7) || PKCS7_type_is_enveloped(p7);
}

// DER of the object identifier of PKCS#7 data, 1.2.840.113549.1.7.1.
constexpr unsigned char kDataOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                                      0xf7, 0x0d, 0x01, 0x07, 0x01};

// The content of a data message in its plain DER form, seen in place: SEQUENCE { data, [0] {
// OCTET STRING } } with nothing else inside. Every other form goes to the crypto library's
// decoder, which reads exactly these the same way.
bool data_message_content(Bytes input, Bytes& content) {
    Bytes body;
    return content_info_body(input, kDataOid, body) && only_element(body, 0x04, content);
}

int copy_failed(size_t size) {
    log_error("%s() 3 : OPENSSL_malloc( %zu ) failed", "decode_data", size);
    log_crypto_errors();
    return SSF_RC_MEMORY;
}

int fail(const char* line) {
    log_error(line, "encode_data");
    log_crypto_errors();
    return SSF_RC_MEMORY;
}

}  // namespace

bool content_info_body(Bytes der, const unsigned char (&oid)[11], Bytes& body) {
    const unsigned char* p = der.data();
    const unsigned char* const end = p + der.size();
    size_t len = 0;
    if (!p || !der_header(p, end, 0x30, len)) return false;
    const unsigned char* const message_end = p + len;
    if (len < sizeof oid || std::memcmp(p, oid, sizeof oid) != 0) return false;
    p += sizeof oid;
    return only_element(Bytes(p, static_cast<size_t>(message_end - p)), 0xa0, body);
}

bool only_element(Bytes outer, unsigned char tag, Bytes& inner) {
    const unsigned char* p = outer.data();
    const unsigned char* const end = p + outer.size();
    size_t len = 0;
    if (!p || !der_header(p, end, tag, len) || p + len != end) return false;
    inner = Bytes(p, len);
    return true;
}

bool der_header(const unsigned char*& p, const unsigned char* end, unsigned char tag, size_t& len) {
    if (end - p < 2 || *p != tag) return false;
    const unsigned char first = p[1];
    p += 2;
    if (first < 0x80) {
        len = first;
    } else {
        const int n = first & 0x7f;
        if (n == 0 || n > 4 || end - p < n || *p == 0) return false;
        len = 0;
        for (int i = 0; i < n; ++i) len = len << 8 | *p++;
        if (len < 0x80) return false;
    }
    return len <= static_cast<size_t>(end - p);
}

size_t der_length_size(size_t len) {
    size_t n = 1;
    if (len >= 0x80)
        for (size_t v = len; v; v >>= 8) ++n;
    return n;
}

unsigned char* put_der_length(unsigned char* p, size_t len) {
    const size_t n = der_length_size(len);
    if (n == 1) {
        *p++ = static_cast<unsigned char>(len);
        return p;
    }
    *p++ = static_cast<unsigned char>(0x80 | (n - 1));
    for (size_t i = n - 1; i-- > 0;) *p++ = static_cast<unsigned char>(len >> (8 * i));
    return p;
}

bool encodes_as_itself(Bytes input) {
    ossl::Pkcs7 parsed = read_pkcs7(input);
    ERR_clear_error();  // input that is not PKCS#7 is expected here, not an error
    return parsed && signed_or_enveloped(parsed.get());
}

int encode_data(OutData& out, Bytes input) {
    out = OutData{};
    if (encodes_as_itself(input)) {
        if (alloc_copy(out, input)) return SSF_RC_OK;
        log_error("%s() 1 : OPENSSL_malloc( %zu ) failed", "encode_data", input.size());
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    // Anything else, PKCS#7 data included, is wrapped once more as data.
    ossl::Pkcs7 p7(PKCS7_new());
    if (!p7) return fail("%s() 2 : PKCS7_new() failed");
    if (!PKCS7_set_type(p7.get(), NID_pkcs7_data) ||
        !ASN1_STRING_set(p7->d.data, input.data(), static_cast<int>(input.size())))
        return fail("%s() 2 : PKCS7_new() failed");
    unsigned char* der = nullptr;
    int len = i2d_PKCS7(p7.get(), &der);
    if (len <= 0) {
        OPENSSL_free(der);
        return fail("%s() 3 : i2d_PKCS7() failed");
    }
    out.data.reset(der);
    out.size = static_cast<uint32_t>(len);
    return SSF_RC_OK;
}

const ASN1_OCTET_STRING* signed_content(const PKCS7* p7) {
    const PKCS7* inner = PKCS7_type_is_signed(p7) && p7->d.sign ? p7->d.sign->contents : nullptr;
    if (!inner || !inner->d.ptr) return nullptr;
    switch (OBJ_obj2nid(inner->type)) {
        case NID_pkcs7_data:
            return inner->d.data;
        case NID_pkcs7_signed:
        case NID_pkcs7_enveloped:
        case NID_pkcs7_signedAndEnveloped:
        case NID_pkcs7_digest:
        case NID_pkcs7_encrypted:
            return nullptr;
        default:  // any other type is held as it came
            return inner->d.other->type == V_ASN1_OCTET_STRING ? inner->d.other->value.octet_string
                                                               : nullptr;
    }
}

bool view_pkcs7(Bytes input, ContentView& view, bool through_bio) {
    view = ContentView{};
    if (data_message_content(input, view.bytes)) {
        view.type = NID_pkcs7_data;
        return true;
    }
    if (through_bio) {
        ossl::Bio in(BIO_new_mem_buf(input.data(), static_cast<int>(input.size())));
        if (in) view.parsed.reset(d2i_PKCS7_bio(in.get(), nullptr));
    } else {
        view.parsed = read_pkcs7(input);
    }
    if (!view.parsed) return false;
    view.type = OBJ_obj2nid(view.parsed->type);
    if (PKCS7_type_is_data(view.parsed.get())) {
        // Data whose content is absent decodes like empty content.
        if (const ASN1_OCTET_STRING* content = view.parsed->d.data)
            view.bytes = Bytes(ASN1_STRING_get0_data(content),
                               static_cast<size_t>(ASN1_STRING_length(content)));
    } else if (signed_or_enveloped(view.parsed.get())) {
        view.bytes = input;
    }
    return true;
}

int decode_view(const ContentView& view, bool parsed) {
    static const char* fn = "decode_data";
    if (!parsed) {
        log_error("%s() 1 : d2i_PKCS7() failed", fn);
        log_crypto_errors();
        return SSF_RC_NOT_PKCS7;
    }
    if (view.type != NID_pkcs7_data && view.type != NID_pkcs7_signed &&
        view.type != NID_pkcs7_enveloped) {
        log_error("%s() 2 : PKCS7 type is not data", fn);
        return SSF_RC_NOT_PKCS7;
    }
    // The copy that decode_data makes cannot be of nothing: empty content fails alike here.
    if (view.bytes.empty()) return copy_failed(0);
    return SSF_RC_OK;
}

int decode_data(OutData& out, Bytes input) {
    out = OutData{};
    ContentView view;
    const bool parsed = view_pkcs7(input, view, false);
    if (int rc = decode_view(view, parsed); rc != 0) return rc;
    if (!alloc_copy(out, view.bytes)) return copy_failed(view.bytes.size());
    return SSF_RC_OK;
}

LentOctets::~LentOctets() {
    if (!lent_) return;
    lent_->data = nullptr;
    lent_->length = 0;
}

bool LentOctets::lend(ASN1_OCTET_STRING*& slot, Bytes bytes) {
    if (slot || lent_) return false;
    lent_ = ASN1_OCTET_STRING_new();
    if (!lent_) return false;
    lent_->data = const_cast<unsigned char*>(bytes.data());
    lent_->length = static_cast<int>(bytes.size());
    slot = lent_;
    return true;
}

ossl::Bytes alloc_output(size_t size) {
    auto* p = static_cast<unsigned char*>(OPENSSL_malloc(size));
    // A large output is written once from start to end: huge pages spare the kernel a fault
    // for every 4 KiB page of it.
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    if (p && size >= 4 * kHuge) {
        const uintptr_t from = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
        const uintptr_t to = (reinterpret_cast<uintptr_t>(p) + size) & ~(kHuge - 1);
        if (to > from) (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    }
    return ossl::Bytes(p);
}

bool der_output(OutData& out, PKCS7* p7) {
    const int len = i2d_PKCS7(p7, nullptr);
    if (len <= 0) return false;
    ossl::Bytes buf = alloc_output(static_cast<size_t>(len));
    unsigned char* p = buf.get();
    if (!buf || i2d_PKCS7(p7, &p) != len) return false;
    out.data = std::move(buf);
    out.size = static_cast<uint32_t>(len);
    return true;
}

bool write_all(BIO* bio, Bytes bytes) {
    constexpr size_t kPiece = size_t{1} << 30;
    for (size_t done = 0; done < bytes.size();) {
        const int n = static_cast<int>(std::min(kPiece, bytes.size() - done));
        if (BIO_write(bio, bytes.data() + done, n) != n) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

size_t data_message_header(size_t content_len, unsigned char* out) {
    unsigned char* p = out;
    const size_t octets = 1 + der_length_size(content_len) + content_len;
    const size_t explicit_tag = 1 + der_length_size(octets) + octets;
    *p++ = 0x30;
    p = put_der_length(p, sizeof kDataOid + explicit_tag);
    std::memcpy(p, kDataOid, sizeof kDataOid);
    p += sizeof kDataOid;
    *p++ = 0xa0;
    p = put_der_length(p, octets);
    *p++ = 0x04;
    p = put_der_length(p, content_len);
    return static_cast<size_t>(p - out);
}

}  // namespace ssf
