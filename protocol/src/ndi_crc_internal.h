/* The two ways this library computes CRC-16/ARC. ndiCRC16 picks one per
 * call; both are here so that each can be checked against the plain
 * definition on any machine, whichever one ndiCRC16 picks there. */
#ifndef NDI_CRC_INTERNAL_H
#define NDI_CRC_INTERNAL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Eight bytes per step through eight lookup tables; runs everywhere. */
unsigned int ndiCrc16ByTables(unsigned int crc, const void* data, int n);

/* Sixteen bytes per step by carry-less multiplication, on processors that
 * have it; 0 when this one does not (then ndiCrc16ByFolding must not be
 * called). */
int ndiCrc16FoldingAvailable(void);
unsigned int ndiCrc16ByFolding(unsigned int crc, const void* data, int n);

#ifdef __cplusplus
}
#endif

#endif
