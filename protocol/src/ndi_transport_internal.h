/* What the serial and TCP transports and the command engine share: where a
 * reply ends, the bounded waits on a line, and sleeping. */
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

/* A line without a time-out of its own (a socket whose receive time-out was
 * never set) still gives up on a reply after this long: a peer that never
 * answers must not hold the caller for good. */
#define NDI_DEFAULT_REPLY_TIMEOUT_MS 5000

/* A write may always wait this long for the line to take the bytes, even
 * when the line's reply time-out is shorter: a full output queue drains at
 * the line's pace, not at once. */
#define NDI_MIN_WRITE_WAIT_MS 1000

/* Most bytes thrown away in one go: the rest of a reply too long for the
 * buffer, or stale input before a command: as much as a binary frame's
 * 16-bit length can announce. A peer that sends without end is stopped
 * here. */
#define NDI_DISCARD_LIMIT 65536

/* One bounded conversation with a line: every wait of a write, of a reply
 * and of the discarding after it ends when the line's time-out is up, when
 * the connection's replies are cancelled, or when the line fails.
 *
 * The time-out bounds each quiet wait for the next bytes, as a serial
 * line's VTIME always did, and also the whole reply: a reply may take the
 * time-out plus the time its bytes (up to the longest reply) need on the
 * wire, so that a long reply on a slow line completes while a peer that
 * drips bytes slower than the line can carry them is cut off. */
typedef struct NdiLineWait {
    int fd;
    int socket;    /* recv and send rather than read and write */
    int cancelFd;  /* readable once the connection's replies are cancelled; -1: none */
    int timeoutMs; /* the line's time-out; 0: take only what is there already;
                    * NDI_TIMEOUT_OF_SOCKET: the socket's, read when a wait needs it */
    /* The socket bounds a blocking receive itself (its receive time-out is
     * always set) and a cancel shuts its reading side: the first wait for a
     * reply may block in the receive, which saves a poll per exchange. */
    int blockingFirstRead;
    int microsPerByte;  /* one byte's time on the wire; 0 where the line sets no pace */
    long long startUs;  /* monotonic clock at the start of the reply */
    long long received; /* bytes taken from the line since the start */
} NdiLineWait;

#define NDI_TIMEOUT_OF_SOCKET (-1)

void ndiLineWaitInit(NdiLineWait* wait, int fd, int socket, int cancelFd, int timeoutMs,
                     int microsPerByte);
/* Restarts the clock: the reply's time counts from the end of its command. */
void ndiLineWaitRestart(NdiLineWait* wait);

/* One reply into buffer (at most capacity bytes): its length; 0 when it was
 * not complete within the time allowed or the replies were cancelled
 * (whatever part had arrived); -1 when the line failed or closed. */
int ndiLineWaitRead(NdiLineWait* wait, char* buffer, int capacity, int binary);

/* All n bytes; fewer when the line took no more within the time allowed or
 * the replies were cancelled; -1 when the line failed. */
int ndiLineWaitWrite(NdiLineWait* wait, const char* data, int n);

/* Reads and drops what is left of a reply (remainder as ndiReadRemainder
 * gives it) through scratch (size bytes), at most NDI_DISCARD_LIMIT bytes
 * and within the reply's time. */
void ndiLineWaitDiscard(NdiLineWait* wait, int remainder, char* scratch, int size);

/* 1 when the descriptor is readable now (a cancel signal), else 0. */
int ndiDescriptorSignalled(int fd);

void ndiSleepMilliseconds(int milliseconds);

#ifdef __cplusplus
}
#endif

#endif
