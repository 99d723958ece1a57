/* One request and reply on a connection's line, serial or TCP, shared by the
 * command engine and the background thread of thread mode. */
#ifndef NDI_LINE_INTERNAL_H
#define NDI_LINE_INTERNAL_H

#include <ndi/protocol.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Replies are read into at most this many bytes, so that a NUL fits. */
#define NDI_READ_LIMIT (NDI_BUFFER_SIZE - 1)

int ndiLineIsSerial(const NdiConnection* h);
int ndiLineRead(NdiConnection* h, char* buffer, int capacity, int binary);
void ndiLineSleep(NdiConnection* h, int milliseconds);

/* Discards pending input, writes the whole command (total bytes) and reads
 * one reply into reply (NDI_BUFFER_SIZE bytes), NUL-terminated at the
 * received length, which goes to *received. Returns 0, NDI_ERR_WRITE (write
 * failed), NDI_ERR_TIMEOUT (short write, or no reply) or NDI_ERR_READ (read
 * failed: *received is 0). A reply too long for the buffer is read to its
 * end through scratch (NDI_BUFFER_SIZE bytes, may be reply itself), so that
 * it cannot pass for the next command's reply, and gives NDI_ERR_READ. */
int ndiLineExchange(NdiConnection* h, const char* command, int total, char* reply, int binary,
                    char* scratch, int* received);

#ifdef __cplusplus
}
#endif

#endif
