// 512-bit products for the GOST R 34.10 field arithmetic on x86-64 processors with BMI2 and ADX
// (mulx, adcx, adox); the caller checks for both.
//
// void gost_mul_512_adx(uint64_t r[16], const uint64_t a[8], const uint64_t b[8]);
//   r = a * b; r must not overlap a or b.
// void gost_mul_mod_512_adx(uint64_t r[8], const uint64_t a[8], const uint64_t b[8], uint64_t c);
//   r = a * b mod 2^512 - c, fully reduced, for 0 < c < 2^32: the high half is folded in times c
//   while it is still in registers, without a branch on the values. r may be a or b.
// void gost_sqr_mod_512_adx(uint64_t r[8], const uint64_t a[8], uint64_t c);
//   r = a^2 mod 2^512 - c likewise: the cross products once, doubled, plus the squares.
//
// Row by row: each limb of b times a, its low halves added along the carry flag and its high
// halves along the overflow flag, so the two carry chains of a row run side by side. Nine
// registers hold the sum still open; each row completes its lowest limb.

#if defined(__x86_64__) && defined(__ELF__)

#include "gost_x86_64.inc"

        .text

// lo += low half of rdx * a_k (carry flag), hi += high half (overflow flag).
.macro  mulx_add k, lo, hi
        mulxq   8*(\k)(%rsi), %rax, %rbp
        adcxq   %rax, \lo
        adoxq   %rbp, \hi
.endm

// Row \i: w0..w8 += a * b[\i], w8 being zero on entry; then w0 is final.
.macro  mul_row i, w0, w1, w2, w3, w4, w5, w6, w7, w8
        movq    8*\i(%rcx), %rdx
        xorq    \w8, \w8                // also clears CF and OF
        mulx_add 0, \w0, \w1
        mulx_add 1, \w1, \w2
        mulx_add 2, \w2, \w3
        mulx_add 3, \w3, \w4
        mulx_add 4, \w4, \w5
        mulx_add 5, \w5, \w6
        mulx_add 6, \w6, \w7
        mulx_add 7, \w7, \w8
        movl    $0, %eax                // keeps the flags
        adcxq   %rax, \w8
        movq    \w0, 8*\i(%rdi)
.endm

// The callee-saved registers the rows use.
.macro  push_all
        push_reg %rbx
        push_reg %rbp
        push_reg %r12
        push_reg %r13
        push_reg %r14
        push_reg %r15
.endm

.macro  pop_all
        pop_reg %r15
        pop_reg %r14
        pop_reg %r13
        pop_reg %r12
        pop_reg %rbp
        pop_reg %rbx
.endm

// The first row, written rather than added: rdx * a_k .. a_7 into \w0 .. (low half of the
// first product in \w0, the top limb last).
.macro  first_row k, w0, w1, w2, w3, w4, w5, w6, w7, w8
        xorl    %eax, %eax              // clears CF
        mulxq   8*(\k)(%rsi), \w0, \w1
        first_rest \k+1, \w1, \w2, \w3, \w4, \w5, \w6, \w7, \w8
.endm

.macro  first_rest k, a, b, c, d, e, f, g, h
.if \k <= 7
        mulxq   8*(\k)(%rsi), %rax, \b
        adcq    %rax, \a
        first_rest \k+1, \b, \c, \d, \e, \f, \g, \h
.else
        adcq    $0, \a
.endif
.endm

// a (rsi) times b (rcx): limbs 0..7 to (rdi), limbs 8..15 left in rbx, r8..r14.
.macro  mul_rows
        movq    (%rcx), %rdx
        first_row 0, %r8, %r9, %r10, %r11, %r12, %r13, %r14, %r15, %rbx
        movq    %r8, (%rdi)

        mul_row 1, %r9, %r10, %r11, %r12, %r13, %r14, %r15, %rbx, %r8
        mul_row 2, %r10, %r11, %r12, %r13, %r14, %r15, %rbx, %r8, %r9
        mul_row 3, %r11, %r12, %r13, %r14, %r15, %rbx, %r8, %r9, %r10
        mul_row 4, %r12, %r13, %r14, %r15, %rbx, %r8, %r9, %r10, %r11
        mul_row 5, %r13, %r14, %r15, %rbx, %r8, %r9, %r10, %r11, %r12
        mul_row 6, %r14, %r15, %rbx, %r8, %r9, %r10, %r11, %r12, %r13
        mul_row 7, %r15, %rbx, %r8, %r9, %r10, %r11, %r12, %r13, %r14
.endm

// Limb \j of the fold, into register \h: t_j plus the low half of h_j * c (carry flag) plus
// the high half of h_(j-1) * c (overflow flag, in rbp); h_j is in \h on entry.
.macro  fold_limb j, h
        movq    8*\j(%rdi), %rcx
.if \j > 0
        adoxq   %rbp, %rcx
.endif
        mulxq   \h, %rax, %rbp
        adcxq   %rax, %rcx
        movq    %rcx, \h
.endm

begin_function gost_mul_512_adx
        push_all
        movq    %rdx, %rcx
        mul_rows
        movq    %rbx, 64(%rdi)
        movq    %r8, 72(%rdi)
        movq    %r9, 80(%rdi)
        movq    %r10, 88(%rdi)
        movq    %r11, 96(%rdi)
        movq    %r12, 104(%rdi)
        movq    %r13, 112(%rdi)
        movq    %r14, 120(%rdi)
        pop_all
        ret
end_function gost_mul_512_adx

// The low half of a product at (%rdi), the high half in \h0..\h7, c at 64(%rsp) and r at
// 72(%rsp): r = product mod 2^512 - c, fully reduced, with no branch on the values.
.macro  fold_store h0, h1, h2, h3, h4, h5, h6, h7
        movq    64(%rsp), %rdx

        // w = t_lo + t_hi * c into \h0..\h7, and the limb above in rbp.
        xorl    %eax, %eax              // clears CF and OF
        fold_limb 0, \h0
        fold_limb 1, \h1
        fold_limb 2, \h2
        fold_limb 3, \h3
        fold_limb 4, \h4
        fold_limb 5, \h5
        fold_limb 6, \h6
        fold_limb 7, \h7
        movl    $0, %eax                // keeps the flags
        adoxq   %rax, %rbp
        adcxq   %rax, %rbp

        // That limb is worth rbp * c (below 2^43). A carry out of adding it leaves w below 2^64,
        // so the one more c it stands for cannot carry again.
        imulq   %rdx, %rbp
        addq    %rbp, \h0
        adcq    $0, \h1
        adcq    $0, \h2
        adcq    $0, \h3
        adcq    $0, \h4
        adcq    $0, \h5
        adcq    $0, \h6
        adcq    $0, \h7
        sbbq    %rax, %rax
        andq    %rdx, %rax
        addq    %rax, \h0

        // w < 2^512 now; w >= 2^512 - c exactly when limbs 1..7 are all ones and limb 0 + c
        // carries, and then w - (2^512 - c) is limb 0 + c with the other limbs cleared.
        movq    \h1, %rax
        andq    \h2, %rax
        andq    \h3, %rax
        andq    \h4, %rax
        andq    \h5, %rax
        andq    \h6, %rax
        andq    \h7, %rax
        movq    \h0, %rcx
        addq    %rdx, %rcx
        sbbq    %rbp, %rbp              // limb 0 + c carried
        addq    $1, %rax
        cmpq    $1, %rax
        sbbq    %rax, %rax              // limbs 1..7 all ones
        andq    %rbp, %rax
        testq   %rax, %rax
        cmovnzq %rcx, \h0
        notq    %rax
        andq    %rax, \h1
        andq    %rax, \h2
        andq    %rax, \h3
        andq    %rax, \h4
        andq    %rax, \h5
        andq    %rax, \h6
        andq    %rax, \h7
        movq    72(%rsp), %rdi
        movq    \h0, (%rdi)
        movq    \h1, 8(%rdi)
        movq    \h2, 16(%rdi)
        movq    \h3, 24(%rdi)
        movq    \h4, 32(%rdi)
        movq    \h5, 40(%rdi)
        movq    \h6, 48(%rdi)
        movq    \h7, 56(%rdi)
.endm

// Entry of the two reducing functions: r (rdi) and c (\c) saved, rdi pointing at room for the
// low half of the product.
.macro  mod_entry c
        push_all
        pushq   %rdi                    // r, written only at the end: it may be an input
        .cfi_adjust_cfa_offset 8
        pushq   \c
        .cfi_adjust_cfa_offset 8
        subq    $64, %rsp
        .cfi_adjust_cfa_offset 64
        movq    %rsp, %rdi
.endm

.macro  mod_exit
        addq    $80, %rsp
        .cfi_adjust_cfa_offset -80
        pop_all
        ret
.endm

// Row \i of the cross products a_i * a_j, j > i: w0..w7 hold limbs i+1..i+8 (w7 zero on entry);
// then limb i+1 is final.
.macro  sqr_row i, w0, w1, w2, w3, w4, w5, w6, w7
        movq    8*\i(%rsi), %rdx
        xorq    \w7, \w7               // also clears CF and OF
        sqr_prod \i, \i+1, \w0, \w1, \w2, \w3, \w4, \w5, \w6, \w7
        movl    $0, %eax                // keeps the flags
        adcxq   %rax, \w7
        movq    \w0, 8*\i+8(%rdi)
.endm

// a_i * a_j for j = \j .. 7: the low half into limb i+j (window slot j-1), the high half into
// limb i+j+1 (slot j).
.macro  sqr_prod i, j, w0, w1, w2, w3, w4, w5, w6, w7
.if \j <= 7
  .if \j == 1
        mulx_add \j, \w0, \w1
  .elseif \j == 2
        mulx_add \j, \w1, \w2
  .elseif \j == 3
        mulx_add \j, \w2, \w3
  .elseif \j == 4
        mulx_add \j, \w3, \w4
  .elseif \j == 5
        mulx_add \j, \w4, \w5
  .elseif \j == 6
        mulx_add \j, \w5, \w6
  .else
        mulx_add \j, \w6, \w7
  .endif
        sqr_prod \i, \j+1, \w0, \w1, \w2, \w3, \w4, \w5, \w6, \w7
.endif
.endm

// Limbs 2i and 2i+1 of the square: twice the cross products (carry flag) plus a_i^2 (overflow
// flag); \lo and \hi are registers, or rcx for a limb kept at (%rdi).
.macro  sqr_diag i, lo, hi
        movq    8*\i(%rsi), %rdx
        mulxq   %rdx, %rax, %rbp
.ifc \lo, %rcx
        movq    16*\i(%rdi), %rcx
.endif
        adcxq   \lo, \lo
        adoxq   %rax, \lo
.ifc \lo, %rcx
        movq    %rcx, 16*\i(%rdi)
        movq    16*\i+8(%rdi), %rcx
.endif
        adcxq   \hi, \hi
        adoxq   %rbp, \hi
.ifc \hi, %rcx
        movq    %rcx, 16*\i+8(%rdi)
.endif
.endm

begin_function gost_mul_mod_512_adx
        mod_entry %rcx
        movq    %rdx, %rcx
        mul_rows
        fold_store %rbx, %r8, %r9, %r10, %r11, %r12, %r13, %r14
        mod_exit
end_function gost_mul_mod_512_adx

begin_function gost_sqr_mod_512_adx
        mod_entry %rdx
        // Cross products, row 0 writing limbs 1..8 into rbx, r8..r14.
        movq    (%rsi), %rdx
        first_row 1, %rbx, %r8, %r9, %r10, %r11, %r12, %r13, %r14
        movq    $0, (%rdi)
        movq    %rbx, 8(%rdi)
        sqr_row 1, %r8, %r9, %r10, %r11, %r12, %r13, %r14, %rbx
        sqr_row 2, %r9, %r10, %r11, %r12, %r13, %r14, %rbx, %r8
        sqr_row 3, %r10, %r11, %r12, %r13, %r14, %rbx, %r8, %r9
        sqr_row 4, %r11, %r12, %r13, %r14, %rbx, %r8, %r9, %r10
        sqr_row 5, %r12, %r13, %r14, %rbx, %r8, %r9, %r10, %r11
        sqr_row 6, %r13, %r14, %rbx, %r8, %r9, %r10, %r11, %r12
        // Limbs 8..14 are in r14, rbx, r8..r12; limb 15 has none yet.
        xorl    %r13d, %r13d

        // Doubled, plus the squares on the diagonal.
        xorl    %eax, %eax              // clears CF and OF
        sqr_diag 0, %rcx, %rcx
        sqr_diag 1, %rcx, %rcx
        sqr_diag 2, %rcx, %rcx
        sqr_diag 3, %rcx, %rcx
        sqr_diag 4, %r14, %rbx
        sqr_diag 5, %r8, %r9
        sqr_diag 6, %r10, %r11
        sqr_diag 7, %r12, %r13
        fold_store %r14, %rbx, %r8, %r9, %r10, %r11, %r12, %r13
        mod_exit
end_function gost_sqr_mod_512_adx

#endif

        .section .note.GNU-stack,"",@progbits
