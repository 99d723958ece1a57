/* What the serial and TCP transports and the command engine share: where a
 * reply ends, and sleeping. */
#ifndef NDI_TRANSPORT_INTERNAL_H
#define NDI_TRANSPORT_INTERNAL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Where the read of one reply stops: a text reply at a final carriage
 * return, a binary reply at its framed length (or at a final carriage return
 * after "ERROR"), either at the capacity of the buffer. */
typedef struct NdiReadFrame {
    int limit;    /* capacity of the buffer */
    int expected; /* framed length of a binary reply once its header is in */
} NdiReadFrame;

void ndiReadFrameStart(NdiReadFrame* frame, int capacity);
int ndiReadFrameDone(NdiReadFrame* frame, const char* buffer, int count, int binary);

/* After a read of count bytes: how much of the reply is still on the line.
 * 0: the reply is complete; > 0: that many bytes of a framed binary reply;
 * NDI_REMAINDER_TO_CR: text up to and including a carriage return;
 * NDI_REMAINDER_UNKNOWN: a binary reply without a recognisable frame. */
#define NDI_REMAINDER_TO_CR (-1)
#define NDI_REMAINDER_UNKNOWN (-2)
int ndiReadRemainder(const char* buffer, int count, int binary);

void ndiSleepMilliseconds(int milliseconds);

#ifdef __cplusplus
}
#endif

#endif
