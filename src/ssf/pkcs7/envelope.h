// The decryption steps of developing: the content key from the recipient's RecipientInfo and the
// cipher stream over the encrypted content.
#pragma once

#include <cstddef>
#include <vector>

#include "cryptoext/ossl.h"
#include "ssf/frame.h"

namespace ssf {

// A DER enveloped message whose encrypted content, a primitive [0], comes last (as the crypto
// library writes it): the bytes of EnvelopedData before its EncryptedContentInfo, those of the
// EncryptedContentInfo before the content, and the content.
struct EnvelopedLayout {
    Bytes before_info, before_content, content;
};
// False for any other layout (constructed or indefinite forms, other tags or types).
[[nodiscard]] bool enveloped_layout(Bytes der, EnvelopedLayout& layout);
// The DER of that message with content_len bytes of content, up to the content itself.
[[nodiscard]] std::vector<unsigned char> enveloped_prefix(const EnvelopedLayout& layout,
                                                          size_t content_len);

// 32 with the content-encryption key in dec_key (which has room for dec_key_room bytes), or -1.
[[nodiscard]] int SSF_EVP_PKEY_decrypt(unsigned char* dec_key, size_t dec_key_room,
                                       const unsigned char* enc_key, int enc_key_len,
                                       EVP_PKEY* private_key);

// The decrypting stream over an enveloped message's content for the RecipientInfo issued to
// cert, or none with the reason on the crypto library's error queue.
[[nodiscard]] ossl::Bio ssf_PKCS7_dataDecode(PKCS7* p7, EVP_PKEY* key, X509* cert);

// The checks of my_PKCS7_decrypt and its decrypting stream; none with the reason on the crypto
// library's error queue.
[[nodiscard]] ossl::Bio open_decryption(PKCS7* p7, EVP_PKEY* key, X509* cert);

// 1 with the content written to data, 0 with the reason on the crypto library's error queue.
[[nodiscard]] int my_PKCS7_decrypt(PKCS7* p7, EVP_PKEY* key, X509* cert, BIO* data, int flags);

}  // namespace ssf
