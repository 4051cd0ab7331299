// The modes without their self-tests, shared by the public entry points and the self-tests (which
// must build their contexts exactly as a plain initialisation would).
#pragma once

#include "gost/gostr3413.h"

namespace gostr3413 {

template <class C>
int ecb_setup(Ecb<C>* ctx, int direction, const uint8_t* key);
template <class C>
int cbc_setup(Cbc<C>* ctx, int direction, const uint8_t* key, const uint8_t* iv, size_t m);
template <class C>
int ctr_setup(Ctr<C>* ctx, int direction, const uint8_t* key, size_t s, const uint8_t* iv);
template <class C>
int ofb_setup(Ofb<C>* ctx, int direction, const uint8_t* key, size_t s, const uint8_t* iv,
              size_t m);
template <class C>
int cfb_setup(Cfb<C>* ctx, int direction, const uint8_t* key, size_t s, const uint8_t* iv,
              size_t m);
template <class C>
int mac_setup(Mac<C>* ctx, const uint8_t* key, size_t mac_len);

template <class C>
int ecb_update(Ecb<C>* ctx, const uint8_t* in, uint8_t* out, size_t len);
template <class C>
int cbc_update(Cbc<C>* ctx, const uint8_t* in, uint8_t* out, size_t len);
template <class C>
int ctr_update(Ctr<C>* ctx, const uint8_t* in, uint8_t* out, size_t len);
template <class C>
int ofb_update(Ofb<C>* ctx, const uint8_t* in, uint8_t* out, size_t len);
template <class C>
int cfb_update(Cfb<C>* ctx, const uint8_t* in, uint8_t* out, size_t len);
template <class C>
int mac_update(Mac<C>* ctx, const uint8_t* data, size_t len);
template <class C>
int mac_final(const Mac<C>* ctx, uint8_t* mac);

enum class SelfTest { ecb, cbc, ctr, ofb, cfb, mac };

// Known-answer test of one cipher and mode against the examples of the standards: 0 when every
// comparison matches. Uses contexts of its own, so it may run on any thread.
template <class C>
int self_test(SelfTest which);

}  // namespace gostr3413
