/* One request and reply on a connection's line, serial or TCP, shared by the
 * command engine and the background thread of thread mode. */
#ifndef NDI_LINE_INTERNAL_H
#define NDI_LINE_INTERNAL_H

#include <ndi/protocol.h>
#include "ndi_transport_internal.h"

#include <stdatomic.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Replies are read into at most this many bytes, so that a NUL fits. */
#define NDI_READ_LIMIT (NDI_BUFFER_SIZE - 1)

/* The signal that ends every wait of a connection for good once
 * ndiCancelReplies has run: an event descriptor that stays readable. */
struct NdiReplyCancel {
    int eventFd;
    /* Set before eventFd is signalled. A lock-free atomic: safe to set in a
     * signal handler. */
    atomic_int cancelled;
};

/* What a connection does with its line, one table per transport, so that
 * the engine above never asks which kind of line it drives. */
typedef struct NdiLineOperations {
    /* Readies wait for one exchange: the line's descriptor, its time-out and
     * pace, and the connection's cancel signal. */
    void (*begin)(NdiConnection* h, NdiLineWait* wait);
    /* Discards what the line holds: 1 input, 2 output, else both. */
    void (*flush)(NdiConnection* h, int which);
    /* Bounds the wait for a reply: 1 applied, 0 nothing changed. */
    int (*timeout)(NdiConnection* h, int milliseconds);
    /* Readies the line for a reset's reply: the break that makes the
     * measurement system answer, where the line has one. */
    void (*reset)(NdiConnection* h);
    /* Gives the line back as it was found and closes it. */
    void (*close)(NdiConnection* h);
    /* How a failed write or read is worded to the error callback, so that a
     * network camera's user is not told about a serial port. */
    const char* writeFailure;
    const char* readFailure;
} NdiLineOperations;

/* The cancel signal of h: its descriptor (-1 for a record filled in by
 * hand), whether it has been given, and making and freeing it. */
int ndiLineCancelFd(const NdiConnection* h);
int ndiLineCancelled(const NdiConnection* h);
struct NdiReplyCancel* ndiReplyCancelCreate(void);
void ndiReplyCancelDestroy(struct NdiReplyCancel* cancel);

/* Opens the line and attaches it and its table to h; 0, or -1 with nothing
 * left open. */
int ndiLineOpenSerial(NdiConnection* h, const char* device);
int ndiLineOpenSocket(NdiConnection* h, const char* host, int port);

/* The table of h's line. A record filled in by hand rather than by the open
 * functions has none attached: it gets the one its descriptors name. */
const NdiLineOperations* ndiLineOf(const NdiConnection* h);
const NdiLineOperations* ndiSerialLineOperations(void);
const NdiLineOperations* ndiSocketLineOperations(void);

/* One reply into buffer within the line's time-out, as ndiLineWaitRead;
 * 0 at once once the replies are cancelled. */
int ndiLineRead(NdiConnection* h, char* buffer, int capacity, int binary);
void ndiLineSleep(NdiConnection* h, int milliseconds);

/* The text the error callback gets for code on h's line. */
const char* ndiLineErrorText(const NdiConnection* h, int code);

/* Discards pending input when the line is not known to be in step (see
 * LineInStep, which this keeps), writes the whole command (total bytes) and reads
 * one reply into reply (NDI_BUFFER_SIZE bytes), NUL-terminated at the
 * received length, which goes to *received. Returns 0, NDI_ERR_WRITE (write
 * failed), NDI_ERR_TIMEOUT (short write, no whole reply within the line's
 * time-out, or the replies were cancelled: then nothing is sent) or
 * NDI_ERR_READ (the line failed or closed: *received is 0). A reply too
 * long for the buffer gives NDI_ERR_READ; what is left of it is read and
 * dropped through scratch (NDI_BUFFER_SIZE bytes, may be reply itself),
 * within the reply's time and at most NDI_DISCARD_LIMIT bytes, so that it
 * does not pass for the next command's reply. */
int ndiLineExchange(NdiConnection* h, const char* command, int total, char* reply, int binary,
                    char* scratch, int* received);

#ifdef __cplusplus
}
#endif

#endif
