/* CRC-16/ARC as the Combined API frames it: reflected polynomial 0x8005,
 * initial value 0, no final XOR. One byte at a time with a nibble-parity
 * table: small enough to stay in cache on the tracking path. */
#include <ndi/protocol.h>

static const int oddparity[16] = {0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0};

unsigned int ndiCRC16(unsigned int crc, const void* data, int n)
{
    const unsigned char* p = (const unsigned char*)data;
    crc &= 0xFFFFu;
    for (int i = 0; i < n; i++) {
        unsigned int d = (p[i] ^ crc) & 0xFFu;
        crc >>= 8;
        if (oddparity[d & 0x0F] ^ oddparity[d >> 4]) {
            crc ^= 0xC001u;
        }
        d <<= 6;
        crc ^= d;
        d <<= 1;
        crc ^= d;
        crc &= 0xFFFFu;
    }
    return crc;
}
