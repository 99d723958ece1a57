/* One request and reply on a connection's line, and the signal that cancels
 * a connection's replies. */
#include "ndi_line_internal.h"
#include "ndi_transport_internal.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

const NdiLineOperations* ndiLineOf(const NdiConnection* h)
{
    if (h->LineOperations != NULL) {
        return h->LineOperations;
    }
    return h->DeviceHandle >= 0 ? ndiSerialLineOperations() : ndiSocketLineOperations();
}

struct NdiReplyCancel* ndiReplyCancelCreate(void)
{
    struct NdiReplyCancel* cancel = (struct NdiReplyCancel*)malloc(sizeof *cancel);
    if (cancel == NULL) {
        return NULL;
    }
    /* Non-blocking, so that signalling it from a signal handler never waits. */
    cancel->eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (cancel->eventFd < 0) {
        free(cancel);
        return NULL;
    }
    return cancel;
}

void ndiReplyCancelDestroy(struct NdiReplyCancel* cancel)
{
    if (cancel != NULL) {
        close(cancel->eventFd);
        free(cancel);
    }
}

int ndiLineCancelFd(const NdiConnection* h)
{
    return h->ReplyCancel != NULL ? h->ReplyCancel->eventFd : -1;
}

int ndiLineCancelled(const NdiConnection* h) { return ndiDescriptorSignalled(ndiLineCancelFd(h)); }

/* Only a write to the event descriptor, which is never read: it stays
 * readable, so every wait that polls it ends at once from now on. Safe in a
 * signal handler and from any thread, without a lock. */
void ndiCancelReplies(NdiConnection* h)
{
    if (h == NULL || h->ReplyCancel == NULL) {
        return;
    }
    int saved = errno;
    uint64_t one = 1;
    ssize_t r;
    do {
        r = write(h->ReplyCancel->eventFd, &one, sizeof one);
    } while (r < 0 && errno == EINTR);
    errno = saved;
}

int ndiLineRead(NdiConnection* h, char* buffer, int capacity, int binary)
{
    NdiLineWait wait;
    ndiLineOf(h)->begin(h, &wait);
    if (ndiDescriptorSignalled(wait.cancelFd)) {
        return 0;
    }
    return ndiLineWaitRead(&wait, buffer, capacity, binary);
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

int ndiLineExchange(NdiConnection* h, const char* command, int total, char* reply, int binary,
                    char* scratch, int* received)
{
    const NdiLineOperations* line = ndiLineOf(h);
    *received = 0;
    reply[0] = '\0';
    NdiLineWait wait;
    line->begin(h, &wait);
    if (ndiDescriptorSignalled(wait.cancelFd)) {
        return NDI_ERR_TIMEOUT;
    }
    line->flush(h, 1);
    int written = ndiLineWaitWrite(&wait, command, total);
    if (written < 0) {
        return NDI_ERR_WRITE;
    }
    if (written < total) {
        return NDI_ERR_TIMEOUT;
    }
    ndiLineWaitRestart(&wait);
    int n = ndiLineWaitRead(&wait, reply, NDI_READ_LIMIT, binary);
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
            ndiLineWaitDiscard(&wait, remainder, scratch, NDI_READ_LIMIT);
            return NDI_ERR_READ;
        }
    }
    return 0;
}
