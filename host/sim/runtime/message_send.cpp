// objc_msgSend and objc_msgSendSuper for x86-64: find the implementation
// and jump to it, so that it receives the arguments exactly as the caller
// passed them, whatever their types. objc_msgSend first probes the
// receiver's method cache where the selector hashes to; anything else (nil,
// an empty slot, a collision) goes to the lookup in C, with every argument
// register kept aside. Results travel in registers only: no send of the
// contract returns a structure in memory.
#include "host/sim/runtime/runtime.h"

#include <cstddef>

#if !defined(__x86_64__)
#error "the stand-in's message sends are written for x86-64"
#endif

// The assembly below reads these offsets; objc_class is no standard-layout
// type, but its layout is the ABI's: the base's isa, then the members.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(objc_class, cacheEntries) == 8 && offsetof(objc_class, cacheMask) == 16,
              "objc_msgSend probes the cache at isa+8 (entries) and isa+16 (mask)");
static_assert(sizeof(objc_class::CacheEntry) == 16 && offsetof(objc_class::CacheEntry, imp) == 8,
              "a cache entry is {sel, imp}");
#pragma GCC diagnostic pop

// Saves rdi, rsi, rdx, rcx, r8, r9, rax (the vector-register count of a
// variadic call) and xmm0-7; calls LOOKUP(rdi, rsi); restores them; and
// leaves the implementation in r11.
// clang-format off
#define QUELLINE_SEND_SLOW_PATH(LOOKUP)                                                            \
  "  push %rbp\n"                                                                                  \
  "  .cfi_def_cfa_offset 16\n"                                                                     \
  "  .cfi_offset %rbp, -16\n"                                                                      \
  "  mov %rsp, %rbp\n"                                                                             \
  "  .cfi_def_cfa_register %rbp\n"                                                                 \
  "  sub $192, %rsp\n"                                                                             \
  "  mov %rdi, 0(%rsp)\n"                                                                          \
  "  mov %rsi, 8(%rsp)\n"                                                                          \
  "  mov %rdx, 16(%rsp)\n"                                                                         \
  "  mov %rcx, 24(%rsp)\n"                                                                         \
  "  mov %r8, 32(%rsp)\n"                                                                          \
  "  mov %r9, 40(%rsp)\n"                                                                          \
  "  mov %rax, 48(%rsp)\n"                                                                         \
  "  movdqa %xmm0, 64(%rsp)\n"                                                                     \
  "  movdqa %xmm1, 80(%rsp)\n"                                                                     \
  "  movdqa %xmm2, 96(%rsp)\n"                                                                     \
  "  movdqa %xmm3, 112(%rsp)\n"                                                                    \
  "  movdqa %xmm4, 128(%rsp)\n"                                                                    \
  "  movdqa %xmm5, 144(%rsp)\n"                                                                    \
  "  movdqa %xmm6, 160(%rsp)\n"                                                                    \
  "  movdqa %xmm7, 176(%rsp)\n"                                                                    \
  "  call " LOOKUP "\n"                                                                            \
  "  mov %rax, %r11\n"                                                                             \
  "  mov 0(%rsp), %rdi\n"                                                                          \
  "  mov 8(%rsp), %rsi\n"                                                                          \
  "  mov 16(%rsp), %rdx\n"                                                                         \
  "  mov 24(%rsp), %rcx\n"                                                                         \
  "  mov 32(%rsp), %r8\n"                                                                          \
  "  mov 40(%rsp), %r9\n"                                                                          \
  "  mov 48(%rsp), %rax\n"                                                                         \
  "  movdqa 64(%rsp), %xmm0\n"                                                                     \
  "  movdqa 80(%rsp), %xmm1\n"                                                                     \
  "  movdqa 96(%rsp), %xmm2\n"                                                                     \
  "  movdqa 112(%rsp), %xmm3\n"                                                                    \
  "  movdqa 128(%rsp), %xmm4\n"                                                                    \
  "  movdqa 144(%rsp), %xmm5\n"                                                                    \
  "  movdqa 160(%rsp), %xmm6\n"                                                                    \
  "  movdqa 176(%rsp), %xmm7\n"                                                                    \
  "  leave\n"                                                                                      \
  "  .cfi_def_cfa %rsp, 8\n"

asm(".text\n"
    ".globl objc_msgSend\n"
    ".type objc_msgSend, @function\n"
    "objc_msgSend:\n"
    "  .cfi_startproc\n"
    "  test %rdi, %rdi\n"
    "  jz 1f\n"
    "  mov (%rdi), %r10\n"     // isa
    "  mov %rsi, %r11\n"
    "  shr $4, %r11\n"
    "  and 16(%r10), %r11\n"   // the selector's slot: (sel >> 4) & mask
    "  shl $4, %r11\n"
    "  add 8(%r10), %r11\n"    // its entry
    "  cmp (%r11), %rsi\n"
    "  jne 1f\n"
    "  jmp *8(%r11)\n"
    "1:\n"
    QUELLINE_SEND_SLOW_PATH("hostsim_msgLookup@PLT")
    "  jmp *%r11\n"
    "  .cfi_endproc\n"
    ".size objc_msgSend, .-objc_msgSend\n"

    // The implementation receives the receiver in place of the objc_super.
    ".globl objc_msgSendSuper\n"
    ".type objc_msgSendSuper, @function\n"
    "objc_msgSendSuper:\n"
    "  .cfi_startproc\n"
    QUELLINE_SEND_SLOW_PATH("hostsim_msgLookupSuper@PLT")
    "  mov (%rdi), %rdi\n"
    "  jmp *%r11\n"
    "  .cfi_endproc\n"
    ".size objc_msgSendSuper, .-objc_msgSendSuper\n"

    ".globl hostsim_nilIMP\n"
    ".type hostsim_nilIMP, @function\n"
    "hostsim_nilIMP:\n"
    "  xor %eax, %eax\n"
    "  xor %edx, %edx\n"
    "  pxor %xmm0, %xmm0\n"
    "  pxor %xmm1, %xmm1\n"
    "  ret\n"
    ".size hostsim_nilIMP, .-hostsim_nilIMP\n");
// clang-format on
