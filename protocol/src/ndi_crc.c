/* CRC-16/ARC as the Combined API frames it: reflected polynomial 0x8005
 * (0xA001), initial value 0, no final XOR.
 *
 * Every tracking reply is checked over its whole length, so this runs over
 * more than a kilobyte per frame. Long buffers go through carry-less
 * multiplication where the processor has it; the rest through eight tables
 * (table k holds the CRC of a byte followed by k zero bytes), whose lookups
 * do not wait on one another as a byte-at-a-time loop's do. */
#include <ndi/protocol.h>

#include "ndi_crc_internal.h"

#include <pthread.h>

static unsigned short crcTables[8][256];
static int foldingAvailable;
static pthread_once_t crcTablesReady = PTHREAD_ONCE_INIT;

static void fillCrcTables(void)
{
    for (unsigned int byte = 0; byte < 256; ++byte) {
        unsigned int crc = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        }
        crcTables[0][byte] = (unsigned short)crc;
    }
    for (int k = 1; k < 8; ++k) {
        for (unsigned int byte = 0; byte < 256; ++byte) {
            unsigned int before = crcTables[k - 1][byte];
            crcTables[k][byte] = (unsigned short)((before >> 8) ^ crcTables[0][before & 0xFFu]);
        }
    }
    foldingAvailable = ndiCrc16FoldingAvailable();
}

unsigned int ndiCrc16ByTables(unsigned int crc, const void* data, int n)
{
    pthread_once(&crcTablesReady, fillCrcTables);
    const unsigned char* p = (const unsigned char*)data;
    crc &= 0xFFFFu;
    /* The 16-bit CRC folds into the first two bytes of each group; the
     * other six enter as they are. */
    for (; n >= 8; n -= 8, p += 8) {
        crc = (unsigned int)crcTables[7][(p[0] ^ crc) & 0xFFu] ^ crcTables[6][p[1] ^ (crc >> 8)] ^
              crcTables[5][p[2]] ^ crcTables[4][p[3]] ^ crcTables[3][p[4]] ^ crcTables[2][p[5]] ^
              crcTables[1][p[6]] ^ crcTables[0][p[7]];
    }
    for (; n > 0; --n, ++p) {
        crc = (crc >> 8) ^ crcTables[0][(crc ^ *p) & 0xFFu];
    }
    return crc;
}

/* Below this the tables win: folding has a fixed cost at its end. */
enum { FOLDING_FROM = 64 };

unsigned int ndiCRC16(unsigned int crc, const void* data, int n)
{
    pthread_once(&crcTablesReady, fillCrcTables);
    if (n >= FOLDING_FROM && foldingAvailable) {
        return ndiCrc16ByFolding(crc, data, n);
    }
    return ndiCrc16ByTables(crc, data, n);
}
