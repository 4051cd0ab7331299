// The Kuznyechik and Magma ciphers (ECB, CBC, CTR, OFB, CFB) and their MACs as the crypto
// library's method tables, over the GOST R 34.13-2015 modes of the algorithm library.
#pragma once

#include <openssl/evp.h>

// Cipher control: the IV length (and so the register length of CBC, OFB and CFB) for the next
// init, 16..32 bytes for Kuznyechik and 8..32 for Magma. It lasts until the context's cleanup.
inline constexpr int kTvkCipherCtrlIvLength = 0x1004;
// MAC digest controls: report the key length, and key the MAC (argument 32, pointer to the key).
inline constexpr int kTvkMacCtrlKeyLength = EVP_MD_CTRL_ALG_CTRL + 3;
inline constexpr int kTvkMacCtrlSetKey = EVP_MD_CTRL_ALG_CTRL + 4;

// The tables, created once and kept for the life of the process; nullptr if creation failed.
const EVP_CIPHER* tvk_cipher_kuznechik_ecb();
const EVP_CIPHER* tvk_cipher_kuznechik_cbc();
const EVP_CIPHER* tvk_cipher_kuznechik_ctr();
const EVP_CIPHER* tvk_cipher_kuznechik_ofb();
const EVP_CIPHER* tvk_cipher_kuznechik_cfb();
const EVP_CIPHER* tvk_cipher_magma_ecb();
const EVP_CIPHER* tvk_cipher_magma_cbc();
const EVP_CIPHER* tvk_cipher_magma_ctr();
const EVP_CIPHER* tvk_cipher_magma_ofb();
const EVP_CIPHER* tvk_cipher_magma_cfb();

const EVP_MD* tvk_digest_kuznechik_mac();
const EVP_MD* tvk_digest_magma_mac();
