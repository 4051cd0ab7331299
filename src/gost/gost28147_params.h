// Built-in parameter sets of GOST 28147-89 and GOST R 34.11-94, looked up by the complete DER
// encoding of their object identifier (tag 06, length, content). Rows and tables are constant
// and live for the whole process.
#pragma once

#include <cstdint>

#include "gost/gost28147_89.h"

struct GOST28147_89_PARAMS {
    uint32_t der_len;
    const uint8_t* der;
    const char* oid;
    const char* name;
    const TZ* tz;
    uint8_t mode;         // the set's cipher mode (CFB or CNT); callers choose their own
    uint8_t key_meshing;  // 1 when CryptoPro key meshing applies
};

struct GOSTR3411_94_PARAMS {
    uint32_t der_len;
    const uint8_t* der;
    const char* oid;
    const char* name;
    const TZ* tz;
};

// 0 and the first matching row, or -1 with *row set to NULL.
int GOST28147_89_FindParByDerOid(const uint8_t* der, uint32_t len, const GOST28147_89_PARAMS** row);
int GOSTR3411_94_FindParByDerOid(const uint8_t* der, uint32_t len, const GOSTR3411_94_PARAMS** row);

// id-tc26-gost-28147-param-Z
const GOST28147_89_PARAMS* GOST28147_89_DefaultPar();
// id-GostR3411-94-CryptoProParamSet
const GOSTR3411_94_PARAMS* GOSTR3411_94_DefaultPar();

// All rows in lookup order, for callers that walk them.
extern const GOST28147_89_PARAMS kGost28147Params[11];
extern const GOSTR3411_94_PARAMS kGostR341194Params[2];
