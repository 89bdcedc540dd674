// Compiler attributes shared by the hot paths. The codec needs GCC or Clang: its kernels use their
// vector extensions, whose lane-wise operations round exactly as the scalar ones do.
#pragma once

#if !defined(__GNUC__) && !defined(__clang__)
#error "ELQ needs GCC or Clang (vector extensions and always_inline)"
#endif

// For per-sample and per-symbol steps, which must not become calls.
#define ELQ_ALWAYS_INLINE inline __attribute__((always_inline))
#define ELQ_ALWAYS_INLINE_LAMBDA __attribute__((always_inline))
