// What the fuzz targets share: the library started in a scratch directory of its own, one GOST
// R 34.10-2012 (256 bit) party whose certificate fills the recipients' directory, real messages
// made by the library for seeds, and the seeds' way out to the corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kit/pki.h"
#include "ssf/ssf_api.h"

namespace fuzz {

using Bytes = std::string;  // bytes, sliced and compared as strings

struct Harness {
    std::string dir;      // scratch directory, also the configuration directory
    std::string pab;      // the recipients' directory, holding the party's certificate
    std::string profile;  // certfile=...,keyfile=... of the party
    std::string id;       // the party's identity (its subject text)
    test_pki::Entity party;

    // Started once per process; the trace log is off but debug lines are on, so every line is
    // formatted (outside texts included) and none is written.
    static const Harness& get();
};

inline Bytes bytes_of(const uint8_t* data, size_t size) {
    return Bytes(reinterpret_cast<const char*>(data), size);
}
// A SAP string over bytes the caller keeps.
inline SAP_BYTE* sap(const Bytes& b) {
    return reinterpret_cast<SAP_BYTE*>(const_cast<char*>(b.data()));
}
inline SAP_UINT sap_len(const Bytes& b) {
    return static_cast<SAP_UINT>(b.size());
}

// The output of an export, released through the interface.
struct Out {
    SAP_BYTE* data = nullptr;
    SAP_UINT len = 0;
    ~Out() { SsfDELSsfOctetstring(&data, &len); }
    Bytes str() const { return data ? Bytes(reinterpret_cast<char*>(data), len) : Bytes(); }
};

// Ends the set-up with what failed when ok is false: a target must not fuzz from wrong seeds.
void require(bool ok, const char* what);

// The party as a signer or recipient record; the caller releases it.
SigRcpSsfInfo* party_record();

// Real messages by the library: PKCS#7 data, signed by the party (attached or detached, in the
// given format, with its certificate) and enveloped for it.
Bytes data_message(const Bytes& content);
Bytes signed_message(const char* format, const Bytes& content, bool detached);
Bytes enveloped_message(const Bytes& content);

// Writes a seed into $SSF_FUZZ_SEED_DIR, where the run script points the corpus; nothing
// without it.
void seed(const std::string& name, const Bytes& bytes);

}  // namespace fuzz
