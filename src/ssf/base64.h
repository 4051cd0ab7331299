// Base64 as the interface writes it: the standard alphabet with '=' padding, in lines of 64
// characters each ended by a newline (the last, shorter one too), or one line without a
// newline when asked.
#pragma once

#include "ssf/frame.h"

namespace ssf {

// 0; 4 when the input is not Base64 or the result would be empty (nothing is allocated then).
// Decoding accepts lines of any length ended by LF or CR LF, with or without a final newline,
// whatever the no-newline flag says.
[[nodiscard]] int base64_enc_dec(int encode, OutData& out, Bytes input, bool no_newline);
[[nodiscard]] int base64_encode(OutData& out, Bytes input, bool no_newline);
[[nodiscard]] int base64_decode(OutData& out, Bytes input, bool no_newline);

}  // namespace ssf
