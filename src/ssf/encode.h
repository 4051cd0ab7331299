// PKCS#7 wrapping for transport (the formats of SsfEncode and SsfDecode), and the first and last
// steps every worker shares: the input message and its content read where they lie, the DER
// output written into a buffer from the crypto library's allocator.
#pragma once

#include "ssf/frame.h"

namespace ssf {

// Wraps bytes as DER PKCS#7 data (signed and enveloped data pass unchanged) and unwraps them.
int encode_data(OutData& out, Bytes input);
// True for the input that encode_data hands back as it is: signed or enveloped PKCS#7.
[[nodiscard]] bool encodes_as_itself(Bytes input);
int decode_data(OutData& out, Bytes input);
// The octets a signed message carries, whatever their content type; null when it carries none
// or carries them in another form than an OCTET STRING (which no signature here covers).
const ASN1_OCTET_STRING* signed_content(const PKCS7* p7);

// The content decode_data gives, seen where it lies instead of copied: in the input, or in the
// parsed message the view keeps.
struct ContentView {
    Bytes bytes;
    int type = 0;        // object number of the message's type
    ossl::Pkcs7 parsed;  // none when the input was read in place
};
// Reads the input as PKCS#7 (through a memory stream when through_bio, as d2i_PKCS7_bio does);
// false when it is none.
[[nodiscard]] bool view_pkcs7(Bytes input, ContentView& view, bool through_bio);
// decode_data's checks of what view_pkcs7 made of the input, with its lines and codes: 0 when
// the view holds content.
[[nodiscard]] int decode_view(const ContentView& view, bool parsed);
// An octet string that shows bytes it does not own, placed into a message for its encoding; the
// bytes are taken back when it goes, so the message never frees them.
class LentOctets {
  public:
    LentOctets() = default;
    ~LentOctets();
    LentOctets(const LentOctets&) = delete;
    LentOctets& operator=(const LentOctets&) = delete;
    // Puts a new octet string showing the bytes into slot (which must be empty). False when it
    // cannot be made.
    [[nodiscard]] bool lend(ASN1_OCTET_STRING*& slot, Bytes bytes);

  private:
    ASN1_OCTET_STRING* lent_ = nullptr;
};

// A buffer for an output of the given size, from the crypto library's allocator.
[[nodiscard]] ossl::Bytes alloc_output(size_t size);
// The DER encoding of the message into a new output; false when it cannot be made.
[[nodiscard]] bool der_output(OutData& out, PKCS7* p7);

// Writes all bytes through a stream, in pieces the stream's int length can carry.
[[nodiscard]] bool write_all(BIO* bio, Bytes bytes);

// Reads a DER header with the (single-byte) tag at p: the content length, with p moved to the
// content. Only definite, minimal lengths that fit before end are taken.
[[nodiscard]] bool der_header(const unsigned char*& p, const unsigned char* end, unsigned char tag,
                              size_t& len);
// The explicit [0] content of a DER ContentInfo of the type whose object identifier (its DER
// encoding, 11 bytes) is given, seen in place; the content must end where the message does.
[[nodiscard]] bool content_info_body(Bytes der, const unsigned char (&oid)[11], Bytes& body);
// The content of the one element, with this tag, that fills outer exactly.
[[nodiscard]] bool only_element(Bytes outer, unsigned char tag, Bytes& inner);
size_t der_length_size(size_t len);  // bytes of the DER length field for len
unsigned char* put_der_length(unsigned char* p, size_t len);

// Writes the DER header of a data message whose content has content_len bytes (at most
// kDataHeaderMax bytes); the content follows it directly. Returns the header's size.
inline constexpr size_t kDataHeaderMax = 40;
size_t data_message_header(size_t content_len, unsigned char* out);

}  // namespace ssf
