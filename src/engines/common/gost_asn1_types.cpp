#include "engines/common/gost_asn1_types.h"

#include <openssl/asn1t.h>

ASN1_NDEF_SEQUENCE(TVK_KEY_INFO) =
    {
        ASN1_SIMPLE(TVK_KEY_INFO, encrypted_key, ASN1_OCTET_STRING),
        ASN1_SIMPLE(TVK_KEY_INFO, imit, ASN1_OCTET_STRING),
} ASN1_NDEF_SEQUENCE_END(TVK_KEY_INFO)

        ASN1_NDEF_SEQUENCE(TVK_KEY_AGREEMENT_INFO) =
            {
                ASN1_SIMPLE(TVK_KEY_AGREEMENT_INFO, cipher, ASN1_OBJECT),
                ASN1_IMP_OPT(TVK_KEY_AGREEMENT_INFO, ephem_key, X509_PUBKEY, 0),
                ASN1_SIMPLE(TVK_KEY_AGREEMENT_INFO, eph_iv, ASN1_OCTET_STRING),
} ASN1_NDEF_SEQUENCE_END(TVK_KEY_AGREEMENT_INFO)

                ASN1_NDEF_SEQUENCE(TVK_KEY_TRANSPORT) =
                    {
                        ASN1_SIMPLE(TVK_KEY_TRANSPORT, key_info, TVK_KEY_INFO),
                        ASN1_IMP(TVK_KEY_TRANSPORT, key_agreement_info, TVK_KEY_AGREEMENT_INFO, 0),
} ASN1_NDEF_SEQUENCE_END(TVK_KEY_TRANSPORT)

                        ASN1_NDEF_SEQUENCE(TVK_GOST2012_KEY_PARAMS) =
                            {
                                ASN1_SIMPLE(TVK_GOST2012_KEY_PARAMS, key_params, ASN1_OBJECT),
                                ASN1_OPT(TVK_GOST2012_KEY_PARAMS, hash_params, ASN1_OBJECT),
                                ASN1_OPT(TVK_GOST2012_KEY_PARAMS, cipher_params, ASN1_OBJECT),
} ASN1_NDEF_SEQUENCE_END(TVK_GOST2012_KEY_PARAMS)

                                ASN1_NDEF_SEQUENCE(TVK_CIPHER_PARAMS) =
                                    {
                                        ASN1_SIMPLE(TVK_CIPHER_PARAMS, iv, ASN1_OCTET_STRING),
                                        ASN1_SIMPLE(TVK_CIPHER_PARAMS, enc_param_set, ASN1_OBJECT),
} ASN1_NDEF_SEQUENCE_END(TVK_CIPHER_PARAMS)

                                        IMPLEMENT_ASN1_FUNCTIONS(TVK_KEY_TRANSPORT)
                                            IMPLEMENT_ASN1_FUNCTIONS(TVK_GOST2012_KEY_PARAMS)
                                                IMPLEMENT_ASN1_FUNCTIONS(TVK_CIPHER_PARAMS)
