/* CRC-16/ARC sixteen bytes at a time by carry-less multiplication.
 *
 * Read as polynomials, the CRC of a message is what is left of it times x^16
 * after division by P = x^16 + x^15 + x^2 + 1. A 16-byte block B followed by
 * d more bits weighs B x^d, and B x^d leaves the same remainder as
 * H (x^(d+64) mod P) + L (x^d mod P), where H and L are B's first and last
 * eight bytes: two 64 by 16-bit products, short enough to add into the block
 * d bits further on. So the message folds block by block into its last one,
 * which the tables finish together with the bytes after it.
 *
 * The CRC is reflected: the first bit of a byte is its lowest, and a block
 * loaded into a register holds its highest power in bit 0. A carry-less
 * product of two such 64-bit operands comes out one bit short of the 128-bit
 * block's own order, which the constants make up for by one power less. */
#include "ndi_crc_internal.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

#include <immintrin.h>
#include <pthread.h>

/* Multipliers that carry a block over 128 bits (the next block) and over
 * 512 bits (four blocks on, for the four independent chains). */
static unsigned long long over128[2], over512[2];
static pthread_once_t constantsReady = PTHREAD_ONCE_INIT;

/* x^e mod P, bit k the coefficient of x^k. */
static unsigned int powerModP(unsigned int e)
{
    unsigned int r = 1;
    while (e-- > 0) {
        r <<= 1;
        if (r & 0x10000u) {
            r ^= 0x18005u;
        }
    }
    return r;
}

/* The same remainder as a reflected 64-bit operand: bit j stands for
 * x^(63 - j). */
static unsigned long long reflected(unsigned int r)
{
    unsigned long long v = 0;
    for (int k = 0; k < 16; ++k) {
        if ((r >> k) & 1u) {
            v |= 1ull << (63 - k);
        }
    }
    return v;
}

static void fillConstants(void)
{
    /* [0] multiplies a block's first eight bytes, [1] its last eight. */
    over128[0] = reflected(powerModP(128 + 63));
    over128[1] = reflected(powerModP(128 - 1));
    over512[0] = reflected(powerModP(512 + 63));
    over512[1] = reflected(powerModP(512 - 1));
}

int ndiCrc16FoldingAvailable(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
}

__attribute__((target("pclmul,sse2"))) static inline __m128i fold(__m128i block, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(block, k, 0x00),
                         _mm_clmulepi64_si128(block, k, 0x11));
}

__attribute__((target("pclmul,sse2"))) static inline __m128i load(const unsigned char* p)
{
    return _mm_loadu_si128((const __m128i*)(const void*)p);
}

__attribute__((target("pclmul,sse2"))) unsigned int ndiCrc16ByFolding(unsigned int crc,
                                                                      const void* data, int n)
{
    const unsigned char* p = (const unsigned char*)data;
    crc &= 0xFFFFu;
    if (n < 16) {
        return ndiCrc16ByTables(crc, p, n);
    }
    pthread_once(&constantsReady, fillConstants);
    const __m128i by1 = _mm_set_epi64x((long long)over128[1], (long long)over128[0]);
    /* A CRC carried in from earlier bytes enters as the first two bytes'
     * difference, as it does in the tables' first step. */
    const __m128i carried = _mm_cvtsi32_si128((int)crc);
    __m128i x;
    if (n >= 64) {
        const __m128i by4 = _mm_set_epi64x((long long)over512[1], (long long)over512[0]);
        __m128i x0 = _mm_xor_si128(load(p), carried);
        __m128i x1 = load(p + 16);
        __m128i x2 = load(p + 32);
        __m128i x3 = load(p + 48);
        for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
            x0 = _mm_xor_si128(fold(x0, by4), load(p));
            x1 = _mm_xor_si128(fold(x1, by4), load(p + 16));
            x2 = _mm_xor_si128(fold(x2, by4), load(p + 32));
            x3 = _mm_xor_si128(fold(x3, by4), load(p + 48));
        }
        x = _mm_xor_si128(fold(x0, by1), x1);
        x = _mm_xor_si128(fold(x, by1), x2);
        x = _mm_xor_si128(fold(x, by1), x3);
    } else {
        x = _mm_xor_si128(load(p), carried);
        p += 16;
        n -= 16;
    }
    for (; n >= 16; p += 16, n -= 16) {
        x = _mm_xor_si128(fold(x, by1), load(p));
    }
    unsigned char last[16];
    _mm_storeu_si128((__m128i*)(void*)last, x);
    return ndiCrc16ByTables(ndiCrc16ByTables(0, last, 16), p, n);
}

#else

int ndiCrc16FoldingAvailable(void) { return 0; }

unsigned int ndiCrc16ByFolding(unsigned int crc, const void* data, int n)
{
    return ndiCrc16ByTables(crc, data, n);
}

#endif
