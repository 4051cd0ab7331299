// The workers behind the exports. Each gets the checked parameters and returns an SSF code and,
// on 0, a new output buffer; the export hands that buffer to the caller.
#pragma once

#include "ssf/frame.h"
#include "ssf/ssf_api.h"

namespace ssf {

int ssf_sign_data(OutData& out, Bytes input, bool inc_certs, bool detached,
                  SigRcpSsfInfoList signers, int signature_type);
int add_sign_data(OutData& out, Bytes signed_data, Bytes input, bool inc_certs,
                  SigRcpSsfInfo* signer, int signature_type);
int ssf_verify_data(OutData& out, Bytes input, Bytes signed_data, bool use_certs, Bytes pab,
                    Bytes pab_password, SigRcpSsfInfoList* results, int signature_type);
int envelope_data(OutData& out, Bytes input, Bytes pab, Bytes pab_password,
                  SigRcpSsfInfoList recipients);
int develope_data(OutData& out, Bytes enveloped, SigRcpSsfInfo* recipient);
int digest_data(OutData& out, Bytes input, int hash_alg, bool detached);
// Fills the output pointers itself.
int ssf_enhance_signatures(SAP_BYTE* strPab, SAP_UINT strPabL, SAP_BYTE* strSignedData,
                           SAP_UINT strSignedDataL, SAP_BYTE* strInputData, SAP_UINT strInputDataL,
                           SigRcpSsfInfoList* signerResultList, SAP_BYTE** ostrEnhancedSignData,
                           SAP_UINT* ostrEnhancedSignDataL);

}  // namespace ssf
