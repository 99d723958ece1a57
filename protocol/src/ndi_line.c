/* One request and reply on a connection's line. */
#include "ndi_line_internal.h"
#include "ndi_transport_internal.h"

int ndiLineIsSerial(const NdiConnection* h) { return h->DeviceHandle >= 0; }

static int lineWrite(NdiConnection* h, const char* data, int n)
{
    return ndiLineIsSerial(h) ? ndiSerialWrite(h->DeviceHandle, data, n)
                              : ndiSocketWrite(h->Socket, data, n);
}

int ndiLineRead(NdiConnection* h, char* buffer, int capacity, int binary)
{
    return ndiLineIsSerial(h) ? ndiSerialRead(h->DeviceHandle, buffer, capacity, binary, NULL)
                              : ndiSocketRead(h->Socket, buffer, capacity, binary, NULL);
}

void ndiLineSleep(NdiConnection* h, int milliseconds)
{
    if (ndiLineIsSerial(h)) {
        ndiSerialSleep(h->DeviceHandle, milliseconds);
    } else {
        ndiSocketSleep(h->Socket, milliseconds);
    }
}

/* A reply too long for the buffer must not stay on the line, where it would
 * be taken for the reply to the next command (nothing flushes a TCP stream).
 * Read it to its end into scratch space. */
static void discardRemainder(NdiConnection* h, int remainder, char* scratch)
{
    if (remainder == NDI_REMAINDER_TO_CR) {
        for (;;) {
            int r = ndiLineRead(h, scratch, NDI_READ_LIMIT, 0);
            if (r <= 0 || scratch[r - 1] == '\r') {
                return;
            }
        }
    }
    while (remainder > 0) {
        int chunk = remainder < NDI_READ_LIMIT ? remainder : NDI_READ_LIMIT;
        int r = ndiLineRead(h, scratch, chunk, 1);
        if (r <= 0) {
            return;
        }
        remainder -= r;
    }
}

int ndiLineExchange(NdiConnection* h, const char* command, int total, char* reply, int binary,
                    char* scratch, int* received)
{
    *received = 0;
    reply[0] = '\0';
    if (ndiLineIsSerial(h)) {
        ndiSerialFlush(h->DeviceHandle, 1);
    } else {
        ndiSocketFlush(h->Socket, 1);
    }
    int written = lineWrite(h, command, total);
    if (written < 0) {
        return NDI_ERR_WRITE;
    }
    if (written < total) {
        return NDI_ERR_TIMEOUT;
    }
    int n = ndiLineRead(h, reply, NDI_READ_LIMIT, binary);
    if (n < 0) {
        return NDI_ERR_READ;
    }
    reply[n] = '\0';
    *received = n;
    if (n == 0) {
        return NDI_ERR_TIMEOUT;
    }
    if (n == NDI_READ_LIMIT) {
        int remainder = ndiReadRemainder(reply, n, binary);
        if (remainder != 0) {
            discardRemainder(h, remainder, scratch);
            return NDI_ERR_READ;
        }
    }
    return 0;
}
