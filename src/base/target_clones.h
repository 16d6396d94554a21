// Sample loops built twice, for processors with and without AVX2, the one to run chosen by the
// loader when the program starts: the same values either way. The choice at start needs the
// loader's indirect functions, which only ELF executables have; elsewhere (a Windows executable,
// Mach-O) the loop is built once, for the build's target. So is it under clang, which clones no
// function templates.
#pragma once

#if defined(__ELF__) && defined(__x86_64__) && !defined(__clang__)
#define QOR_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QOR_AVX2_CLONES
#endif
