/* Reply framing and sleeping, shared by both transports and the engine. */
#include "ndi_transport_internal.h"

#include <errno.h>
#include <string.h>
#include <time.h>

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
