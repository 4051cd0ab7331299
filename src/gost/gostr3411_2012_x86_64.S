// GOST R 34.11-2012 compression for any x86-64 processor (SSE2 only).
//
// void gost_streebog_compress_x86_64(uint64_t h[8], const uint64_t N[8], const uint64_t m[8],
//                                    const uint64_t lps[8][256], const uint64_t c[12][8]);
//
// h = E(LPS(h ^ N), m) ^ h ^ m with the same combined LPS tables as the C++ form; c must be
// 16-byte aligned. What bounds the table form is the number of instructions per lookup and the
// rate of loads from distinct cache lines, so this form
//   - runs the key schedule and the state side by side: one step computes K' = LPS(K ^ C) and
//     T' = LPS(T ^ K), two independent chains of lookups the processor can overlap;
//   - keeps both 512-bit values in registers between steps: words 0 and 1 in general registers,
//     words 2..7 as pairs in xmm registers, so no step stores or reloads them;
//   - takes the table indices from the word registers two bytes at a time (%al and %ah, then a
//     shift) instead of reloading each byte from memory;
//   - sums output words 0 and 1 in general registers, which become the next step's words 0 and 1
//     with no transfer, and words 2..7 in xmm pairs, two lookups (movq, movhps) per xor.
//
// Registers during the steps:
//   r8, r9: K words 0, 1         xmm0..xmm2: K words 2..7       xmm8..xmm10: K' words 2..7
//   r10, r11: T words 0, 1       xmm3..xmm5: T words 2..7       xmm11..xmm13: T' words 2..7
//   rax, rcx: K-side word being split (even, odd word)          esi: K-side table index
//   rbx, rdx: T-side word being split (even, odd word)          edi: T-side table index
//   r12: LPS tables   r13: round constant   r14: end of the constants   r15: m   xmm14, xmm15: scratch

#if defined(__x86_64__) && defined(__ELF__)

#include "gost_x86_64.inc"

        .text

// Bytes 2k and 2k+1 of the word in r\w\()x through table \j into general registers \lo and \hi.
.macro  sb_gpr j, w, t, lo, hi
        movzbl  %\w\()l, %e\t
.if \j == 0
        movq    (%r12,%r\t,8), \lo
.else
        xorq    \j*2048(%r12,%r\t,8), \lo
.endif
        movzbl  %\w\()h, %e\t
.if \j == 0
        movq    (%r12,%r\t,8), \hi
.else
        xorq    \j*2048(%r12,%r\t,8), \hi
.endif
.endm

// The same into the two halves of xmm pair \acc; word 0 starts the pair.
.macro  sb_xmm j, w, t, acc, tmp
        movzbl  %\w\()l, %e\t
.if \j == 0
        movq    (%r12,%r\t,8), \acc
        movzbl  %\w\()h, %e\t
        movhps  (%r12,%r\t,8), \acc
.else
        movq    \j*2048(%r12,%r\t,8), \tmp
        movzbl  %\w\()h, %e\t
        movhps  \j*2048(%r12,%r\t,8), \tmp
        pxor    \tmp, \acc
.endif
.endm

// All eight bytes of word \j on the K side (and on the T side unless \konly); words 2..7 come
// out of xmm pairs \xk and \xt, the low word first.
.macro  sb_word j, konly, xk=, xt=
.if \j >= 2
  .if \j % 2 == 0
        movq    \xk, %rax
    .if !\konly
        movq    \xt, %rbx
    .endif
        punpckhqdq \xk, \xk
    .if !\konly
        punpckhqdq \xt, \xt
    .endif
  .else
        movq    \xk, %rcx
    .if !\konly
        movq    \xt, %rdx
    .endif
  .endif
.endif
.if \j % 2 == 0
        sb_sides \j, a, b, \konly
.else
        sb_sides \j, c, d, \konly
.endif
.endm

.macro  sb_sides j, wk, wt, konly
        sb_gpr  \j, \wk, si, %r8, %r9
.if !\konly
        sb_gpr  \j, \wt, di, %r10, %r11
.endif
        sb_next \j, \wk, \wt, \konly, %xmm8, %xmm11
        sb_next \j, \wk, \wt, \konly, %xmm9, %xmm12
        sb_next \j, \wk, \wt, \konly, %xmm10, %xmm13
.endm

// The next two bytes of both words into xmm pairs \ak and \at.
.macro  sb_next j, wk, wt, konly, ak, at
        shrq    $16, %r\wk\()x
.if !\konly
        shrq    $16, %r\wt\()x
.endif
        sb_xmm  \j, \wk, si, \ak, %xmm14
.if !\konly
        sb_xmm  \j, \wt, di, \at, %xmm15
.endif
.endm

// Words \off/8 and the next of h ^= K ^ T ^ m, from xmm pairs \xk and \xt.
.macro  sb_out off, xk, xt
        pxor    \xt, \xk
        movdqu  \off(%r15), \xt
        pxor    \xt, \xk
        movdqu  \off(%rdi), \xt
        pxor    \xt, \xk
        movdqu  \xk, \off(%rdi)
.endm

// One step: K' = LPS(K ^ C) and T' = LPS(T ^ K); with \konly, K' = LPS(K) and T is kept.
.macro  sb_step konly
.if !\konly
        movq    %r10, %rbx
        xorq    %r8, %rbx
        movq    %r11, %rdx
        xorq    %r9, %rdx
        pxor    %xmm0, %xmm3
        pxor    %xmm1, %xmm4
        pxor    %xmm2, %xmm5
.endif
        movq    %r8, %rax
        movq    %r9, %rcx
.if !\konly
        xorq    (%r13), %rax
        xorq    8(%r13), %rcx
        pxor    16(%r13), %xmm0
        pxor    32(%r13), %xmm1
        pxor    48(%r13), %xmm2
.endif
        sb_word 0, \konly
        sb_word 1, \konly
        sb_word 2, \konly, %xmm0, %xmm3
        sb_word 3, \konly, %xmm0, %xmm3
        sb_word 4, \konly, %xmm1, %xmm4
        sb_word 5, \konly, %xmm1, %xmm4
        sb_word 6, \konly, %xmm2, %xmm5
        sb_word 7, \konly, %xmm2, %xmm5
        movdqa  %xmm8, %xmm0
        movdqa  %xmm9, %xmm1
        movdqa  %xmm10, %xmm2
.if !\konly
        movdqa  %xmm11, %xmm3
        movdqa  %xmm12, %xmm4
        movdqa  %xmm13, %xmm5
.endif
.endm

begin_function gost_streebog_compress_x86_64
        push_reg %rbx
        push_reg %r12
        push_reg %r13
        push_reg %r14
        push_reg %r15
        push_reg %rdi                   // h, needed again at the end

        movq    %rcx, %r12
        movq    %r8, %r13
        leaq    12*64(%r8), %r14
        movq    %rdx, %r15

        // K = h ^ N, T = m
        movq    (%rdi), %r8
        xorq    (%rsi), %r8
        movq    8(%rdi), %r9
        xorq    8(%rsi), %r9
        movdqu  16(%rdi), %xmm0
        movdqu  16(%rsi), %xmm3
        pxor    %xmm3, %xmm0
        movdqu  32(%rdi), %xmm1
        movdqu  32(%rsi), %xmm4
        pxor    %xmm4, %xmm1
        movdqu  48(%rdi), %xmm2
        movdqu  48(%rsi), %xmm5
        pxor    %xmm5, %xmm2
        movq    (%rdx), %r10
        movq    8(%rdx), %r11
        movdqu  16(%rdx), %xmm3
        movdqu  32(%rdx), %xmm4
        movdqu  48(%rdx), %xmm5

        sb_step 1                       // K1 = LPS(h ^ N)
        .p2align 4
1:
        sb_step 0                       // K(i+1) = LPS(K(i) ^ C(i)), T(i) = LPS(T(i-1) ^ K(i))
        addq    $64, %r13
        cmpq    %r14, %r13
        jne     1b

        // h ^= K13 ^ T12 ^ m
        pop_reg %rdi
        xorq    %r10, %r8
        xorq    (%r15), %r8
        xorq    %r8, (%rdi)
        xorq    %r11, %r9
        xorq    8(%r15), %r9
        xorq    %r9, 8(%rdi)
        sb_out  16, %xmm0, %xmm3
        sb_out  32, %xmm1, %xmm4
        sb_out  48, %xmm2, %xmm5

        pop_reg %r15
        pop_reg %r14
        pop_reg %r13
        pop_reg %r12
        pop_reg %rbx
        ret
end_function gost_streebog_compress_x86_64

#endif

        .section .note.GNU-stack,"",@progbits
