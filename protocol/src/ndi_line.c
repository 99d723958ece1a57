/* One request and reply on a connection's line. */
#include "ndi_line_internal.h"
#include "ndi_transport_internal.h"

const NdiLineOperations* ndiLineOf(const NdiConnection* h)
{
    if (h->LineOperations != NULL) {
        return h->LineOperations;
    }
    return h->DeviceHandle >= 0 ? ndiSerialLineOperations() : ndiSocketLineOperations();
}

int ndiLineRead(NdiConnection* h, char* buffer, int capacity, int binary)
{
    return ndiLineOf(h)->read(h, buffer, capacity, binary);
}

void ndiLineSleep(NdiConnection* h, int milliseconds)
{
    (void)h; /* neither line is needed to wait */
    ndiSleepMilliseconds(milliseconds);
}

const char* ndiLineErrorText(const NdiConnection* h, int code)
{
    if (code == NDI_ERR_WRITE) {
        return ndiLineOf(h)->writeFailure;
    }
    if (code == NDI_ERR_READ) {
        return ndiLineOf(h)->readFailure;
    }
    return ndiErrorString(code);
}

/* A reply too long for the buffer must not stay on the line, where it would
 * be taken for the reply to the next command (nothing flushes a TCP stream).
 * Read it to its end into scratch space. */
static void discardRemainder(NdiConnection* h, const NdiLineOperations* line, int remainder,
                             char* scratch)
{
    if (remainder == NDI_REMAINDER_TO_CR) {
        for (;;) {
            int r = line->read(h, scratch, NDI_READ_LIMIT, 0);
            if (r <= 0 || scratch[r - 1] == '\r') {
                return;
            }
        }
    }
    while (remainder > 0) {
        int chunk = remainder < NDI_READ_LIMIT ? remainder : NDI_READ_LIMIT;
        int r = line->read(h, scratch, chunk, 1);
        if (r <= 0) {
            return;
        }
        remainder -= r;
    }
}

int ndiLineExchange(NdiConnection* h, const char* command, int total, char* reply, int binary,
                    char* scratch, int* received)
{
    const NdiLineOperations* line = ndiLineOf(h);
    *received = 0;
    reply[0] = '\0';
    line->flush(h, 1);
    int written = line->write(h, command, total);
    if (written < 0) {
        return NDI_ERR_WRITE;
    }
    if (written < total) {
        return NDI_ERR_TIMEOUT;
    }
    int n = line->read(h, reply, NDI_READ_LIMIT, binary);
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
            discardRemainder(h, line, remainder, scratch);
            return NDI_ERR_READ;
        }
    }
    return 0;
}
