/* Reply framing, the bounded waits on a line and sleeping, shared by both
 * transports and the engine. */
#include <ndi/protocol.h>
#include "ndi_socket_internal.h"
#include "ndi_transport_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static int isErrorReply(const char* buffer, int count)
{
    return count >= 5 && memcmp(buffer, "ERROR", 5) == 0 && buffer[count - 1] == '\r';
}

static int framedLength(const char* buffer, int count)
{
    const unsigned char* b = (const unsigned char*)buffer;
    if (count < 4 || b[0] != 0xC4 || b[1] != 0xA5) {
        return -1;
    }
    /* start, length, header CRC and body CRC bytes around the body */
    return (int)(((unsigned int)b[2] | ((unsigned int)b[3] << 8)) + 8u) & 0xFFFF;
}

void ndiReadFrameStart(NdiReadFrame* frame, int capacity)
{
    frame->limit = capacity > 0 ? capacity : 0;
    frame->expected = -1;
}

int ndiReadFrameDone(NdiReadFrame* frame, const char* buffer, int count, int binary)
{
    if (count >= frame->limit) {
        return 1;
    }
    if (!binary) {
        return count > 0 && buffer[count - 1] == '\r';
    }
    if (isErrorReply(buffer, count)) {
        return 1;
    }
    if (frame->expected < 0) {
        frame->expected = framedLength(buffer, count);
    }
    return frame->expected >= 0 && count >= frame->expected;
}

int ndiReadRemainder(const char* buffer, int count, int binary)
{
    if (count <= 0) {
        return 0;
    }
    if (!binary) {
        return buffer[count - 1] == '\r' ? 0 : NDI_REMAINDER_TO_CR;
    }
    if (isErrorReply(buffer, count)) {
        return 0;
    }
    int expected = framedLength(buffer, count);
    if (expected < 0) {
        if (count >= 5 && memcmp(buffer, "ERROR", 5) == 0) {
            return NDI_REMAINDER_TO_CR;
        }
        return NDI_REMAINDER_UNKNOWN;
    }
    return expected > count ? expected - count : 0;
}

static long long monotonicMicroseconds(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000LL + (long long)t.tv_nsec / 1000LL;
}

int ndiDescriptorSignalled(int fd)
{
    if (fd < 0) {
        return 0;
    }
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

void ndiLineWaitInit(NdiLineWait* wait, int fd, int socket, int cancelFd, int timeoutMs,
                     int microsPerByte)
{
    wait->fd = fd;
    wait->socket = socket;
    wait->cancelFd = cancelFd;
    wait->timeoutMs =
        timeoutMs > 0 || (socket && timeoutMs == NDI_TIMEOUT_OF_SOCKET) ? timeoutMs : 0;
    wait->blockingFirstRead = 0;
    wait->microsPerByte = microsPerByte > 0 ? microsPerByte : 0;
    ndiLineWaitRestart(wait);
}

void ndiLineWaitRestart(NdiLineWait* wait)
{
    wait->startUs = monotonicMicroseconds();
    wait->received = 0;
}

/* Reading a socket's time-out costs a system call: an exchange whose reply
 * is complete in its first receive never needs it. */
static int lineTimeoutMs(NdiLineWait* wait)
{
    if (wait->timeoutMs == NDI_TIMEOUT_OF_SOCKET) {
        wait->timeoutMs = ndiSocketReplyTimeout(wait->fd);
    }
    return wait->timeoutMs;
}

/* Waits until the line is ready for events, but never past deadlineUs and
 * never longer than quietUs in one go. 1 ready (the line's events in
 * *revents), 0 time is up or the replies were cancelled, -1 poll failed.
 * A deadline already past still looks once: what has arrived is taken. */
static int waitForLine(const NdiLineWait* wait, short events, long long deadlineUs,
                       long long quietUs, short* revents)
{
    for (;;) {
        long long leftUs = deadlineUs - monotonicMicroseconds();
        if (leftUs > quietUs) {
            leftUs = quietUs;
        }
        if (leftUs < 0) {
            leftUs = 0;
        }
        long long ms = (leftUs + 999) / 1000;
        struct pollfd fds[2] = {{wait->fd, events, 0}, {wait->cancelFd, POLLIN, 0}};
        int n = poll(fds, wait->cancelFd >= 0 ? 2 : 1, ms > INT_MAX ? INT_MAX : (int)ms);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (wait->cancelFd >= 0 && fds[1].revents != 0) {
            return 0;
        }
        if (n == 0 || fds[0].revents == 0) {
            return 0;
        }
        *revents = fds[0].revents;
        return 1;
    }
}

/* The wire time counts only up to the longest reply: bytes beyond it (the
 * rest of an over-long reply being dropped, a peer that sends without end)
 * get no more time. */
static long long replyDeadline(NdiLineWait* wait)
{
    long long bytes = wait->received < NDI_MAX_REPLY_LENGTH ? wait->received : NDI_MAX_REPLY_LENGTH;
    return wait->startUs + (long long)lineTimeoutMs(wait) * 1000LL +
           bytes * (long long)wait->microsPerByte;
}

/* The first receive of a reply, blocking: the socket's receive time-out
 * bounds it as the reply's deadline would (no bytes yet, so no wire time),
 * and a cancel ends it by shutting the reading side. 1 when the wait may go
 * on (*count bytes are in), 0 time is up, -1 the line failed or closed. */
static int firstReceive(NdiLineWait* wait, char* buffer, const NdiReadFrame* frame, int* count)
{
    wait->blockingFirstRead = 0;
    ssize_t r = recv(wait->fd, buffer, (size_t)frame->limit, 0);
    if (r > 0) {
        *count = (int)r;
        wait->received += r;
        return 1;
    }
    if (r == 0) {
        return -1; /* the peer closed, or a cancel shut the reading side: the caller tells */
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return 0;
    }
    return errno == EINTR ? 1 : -1;
}

int ndiLineWaitRead(NdiLineWait* wait, char* buffer, int capacity, int binary)
{
    NdiReadFrame frame;
    ndiReadFrameStart(&frame, capacity);
    int count = 0;
    if (wait->blockingFirstRead && wait->received == 0 && frame.limit > 0) {
        int going = firstReceive(wait, buffer, &frame, &count);
        if (going <= 0) {
            return going;
        }
        if (count > 0 && ndiReadFrameDone(&frame, buffer, count, binary)) {
            return count;
        }
    }
    while (count < frame.limit) {
        short revents = 0;
        long long deadlineUs = replyDeadline(wait);
        int ready =
            waitForLine(wait, POLLIN, deadlineUs, (long long)wait->timeoutMs * 1000LL, &revents);
        if (ready <= 0) {
            return ready; /* time is up (whatever came is not a whole reply), or failure */
        }
        if (revents & POLLNVAL) {
            return -1;
        }
        size_t space = (size_t)(frame.limit - count);
        ssize_t r = wait->socket ? recv(wait->fd, buffer + count, space, MSG_DONTWAIT)
                                 : read(wait->fd, buffer + count, space);
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            return -1;
        }
        if (r == 0) {
            /* The peer closed the socket; a terminal reads nothing only once
             * it has been hung up. */
            if (wait->socket || (revents & (POLLHUP | POLLERR)) != 0) {
                return -1;
            }
            continue;
        }
        count += (int)r;
        wait->received += r;
        if (ndiReadFrameDone(&frame, buffer, count, binary)) {
            break;
        }
    }
    return count;
}

int ndiLineWaitWrite(NdiLineWait* wait, const char* data, int n)
{
    if (n <= 0) {
        return 0;
    }
    /* The deadline counts from now but is worked out only when the line
     * makes the write wait. */
    long long startUs = monotonicMicroseconds();
    long long deadlineUs = -1;
    /* A blocking write to a line that takes nothing (hardware handshake
     * never granted) would never return: write without blocking and wait
     * for room here, where the wait is bounded. */
    int restoreFlags = -1;
    if (!wait->socket) {
        int flags = fcntl(wait->fd, F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK) == 0 &&
            fcntl(wait->fd, F_SETFL, flags | O_NONBLOCK) == 0) {
            restoreFlags = flags;
        }
    }
    int done = 0;
    while (done < n) {
        ssize_t r = wait->socket ? send(wait->fd, data + done, (size_t)(n - done),
                                        MSG_NOSIGNAL | MSG_DONTWAIT)
                                 : write(wait->fd, data + done, (size_t)(n - done));
        if (r > 0) {
            done += (int)r;
            continue;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (deadlineUs < 0) {
                int timeoutMs = lineTimeoutMs(wait);
                int allowedMs =
                    timeoutMs > NDI_MIN_WRITE_WAIT_MS ? timeoutMs : NDI_MIN_WRITE_WAIT_MS;
                deadlineUs = startUs + (long long)allowedMs * 1000LL +
                             (long long)n * (long long)wait->microsPerByte;
            }
            short revents = 0;
            int ready = waitForLine(wait, POLLOUT, deadlineUs, LLONG_MAX, &revents);
            if (ready < 0) {
                done = -1;
            }
            if (ready <= 0) {
                break; /* time is up or cancelled: the caller sees a short write */
            }
            continue;
        }
        if (r < 0) {
            done = -1;
        }
        break; /* a failure, or no progress: a short write */
    }
    if (restoreFlags >= 0) {
        fcntl(wait->fd, F_SETFL, restoreFlags);
    }
    return done;
}

void ndiLineWaitDiscard(NdiLineWait* wait, int remainder, char* scratch, int size)
{
    int budget = NDI_DISCARD_LIMIT;
    if (remainder == NDI_REMAINDER_TO_CR) {
        while (budget > 0) {
            int r = ndiLineWaitRead(wait, scratch, budget < size ? budget : size, 0);
            if (r <= 0 || scratch[r - 1] == '\r') {
                return;
            }
            budget -= r;
        }
        return;
    }
    if (remainder > budget) {
        remainder = budget;
    }
    while (remainder > 0) {
        int r = ndiLineWaitRead(wait, scratch, remainder < size ? remainder : size, 1);
        if (r <= 0) {
            return;
        }
        remainder -= r;
    }
}

void ndiSleepMilliseconds(int milliseconds)
{
    if (milliseconds <= 0) {
        return;
    }
    struct timespec t;
    t.tv_sec = milliseconds / 1000;
    t.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    while (nanosleep(&t, &t) < 0 && errno == EINTR) {
    }
}
