// The SSF interface as the SAP host sees it: its types and its exported functions.
#pragma once

#include <cstdint>

#include "ssf/export.h"

using SAP_BYTE = unsigned char;
using SAP_UINT = uint32_t;  // lengths; the checks read them as signed
using SAP_BOOL = unsigned char;
using SAPRETURN = uint32_t;

struct SigRcpSsfInfo {
    SAP_BYTE* strSigRcpId;
    SAP_UINT strSigRcpIdL;
    SAP_BYTE* strSigRcpReserved;
    SAP_UINT strSigRcpReservedL;
    SAP_BYTE* strSigRcpProfile;
    SAP_UINT strSigRcpProfileL;
    SAP_BYTE* strSigRcpPassword;
    SAP_UINT strSigRcpPasswordL;
    SAP_UINT uResult;
};

struct SigRcpSsfInformationListElement {
    SigRcpSsfInformationListElement* next;
    SigRcpSsfInfo* ptrSigRcp;
};
using SigRcpSsfInfoList = SigRcpSsfInformationListElement*;

SSF_API SAPRETURN SsfVersion(SAP_BYTE** outputData, SAP_UINT* outputDataL);
SSF_API SAPRETURN SsfQueryProperties(SAP_BYTE* strProperty, SAP_UINT strPropertyL,
                                     SAP_BYTE* strArgument, SAP_UINT strArgumentL,
                                     SAP_BYTE** outputData, SAP_UINT* outputDataL);
SSF_API SAPRETURN SsfEncode(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* ostrInputData,
                            SAP_UINT ostrInputDataL, SAP_BYTE** ostrEncodedData,
                            SAP_UINT* ostrEncodedDataL);
SSF_API SAPRETURN SsfDecode(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* ostrEncodedData,
                            SAP_UINT ostrEncodedDataL, SAP_BYTE** ostrOutputData,
                            SAP_UINT* ostrOutputDataL);
SSF_API SAPRETURN SsfSign(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* strHashalg,
                          SAP_UINT strHashalgL, SAP_BOOL bIncCerts, SAP_BOOL bDetached,
                          SAP_BYTE* ostrInputData, SAP_UINT ostrInputDataL,
                          SigRcpSsfInfoList signerList, SAP_BYTE** ostrSignedData,
                          SAP_UINT* ostrSignedDataL);
SSF_API SAPRETURN SsfVerify(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BOOL bUseCerts,
                            SAP_BYTE* ostrSignedData, SAP_UINT ostrSignedDataL,
                            SAP_BYTE* ostrInputData, SAP_UINT ostrInputDataL, SAP_BYTE* strPab,
                            SAP_UINT strPabL, SAP_BYTE* strPabPassword, SAP_UINT strPabPasswordL,
                            SigRcpSsfInfoList* signerResultList, SAP_BYTE** ostrOutputData,
                            SAP_UINT* ostrOutputDataL);
SSF_API SAPRETURN SsfEnvelope(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* strSymEncr,
                              SAP_UINT strSymEncrL, SAP_BYTE* ostrInputData,
                              SAP_UINT ostrInputDataL, SAP_BYTE* strPab, SAP_UINT strPabL,
                              SAP_BYTE* strPabPassword, SAP_UINT strPabPasswordL,
                              SigRcpSsfInfoList recipientList, SAP_BYTE** ostrEnvelopedData,
                              SAP_UINT* ostrEnvelopedDataL);
SSF_API SAPRETURN SsfDevelope(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* ostrEnvelopedData,
                              SAP_UINT ostrEnvelopedDataL, SigRcpSsfInfo* ptrRecipient,
                              SAP_BYTE** ostrOutputData, SAP_UINT* ostrOutputDataL);
SSF_API SAPRETURN SsfAddSign(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* strHashalg,
                             SAP_UINT strHashalgL, SAP_BOOL bIncCerts, SAP_BYTE* ostrSignedData,
                             SAP_UINT ostrSignedDataL, SAP_BYTE* ostrInputData,
                             SAP_UINT ostrInputDataL, SigRcpSsfInfo* signer,
                             SAP_BYTE** ostrUpdatedSignedData, SAP_UINT* ostrUpdatedSignedDataL);
SSF_API SAPRETURN SsfDigest(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BOOL bDetached,
                            SAP_BYTE* ostrInputData, SAP_UINT ostrInputDataL, SAP_BYTE* strHashalg,
                            SAP_UINT strHashalgL, SAP_BYTE** ostrDigestedData,
                            SAP_UINT* ostrDigestedDataL);
SSF_API SAPRETURN SsfEnhanceSignatures(SAP_BYTE* strPab, SAP_UINT strPabL, SAP_BYTE* strSignedData,
                                       SAP_UINT strSignedDataL, SAP_BYTE* strInputData,
                                       SAP_UINT strInputDataL, SigRcpSsfInfoList* signerResultList,
                                       SAP_BYTE** ostrEnhancedSignData,
                                       SAP_UINT* ostrEnhancedSignDataL);

SSF_API SAPRETURN SsfDELSsfOctetstring(SAP_BYTE** ostr, SAP_UINT* ostrL);
SSF_API SAPRETURN SsfNEWSigRcpSsfInfo(SAP_BYTE* strSigRcpId, SAP_UINT strSigRcpIdL,
                                      SAP_BYTE* strSigRcpReserved, SAP_UINT strSigRcpReservedL,
                                      SAP_BYTE* strSigRcpProfile, SAP_UINT strSigRcpProfileL,
                                      SAP_BYTE* strSigRcpPassword, SAP_UINT strSigRcpPasswordL,
                                      SAP_UINT uResult, SigRcpSsfInfo** ptrSigRcpSsfInfo);
SSF_API SAPRETURN SsfINSSigRcpSsfInfo(SigRcpSsfInfo* ptrSigRcpSsfInfo,
                                      SigRcpSsfInfoList* sigRcpSsfInfoList);
SSF_API SAPRETURN SsfDELSigRcpSsfInfo(SigRcpSsfInfo** ptrSigRcpSsfInfo);
SSF_API SAPRETURN SsfDELSigRcpSsfInfoList(SigRcpSsfInfoList* sigRcpSsfInfoList);

SSF_API const char* GetSignerErrorMessage(SAP_UINT code);
