/* Feeds arbitrary device bytes to the reply read loops (serial on a pty, TCP
 * on a socket pair) and through the command engine's checks and capture.
 *
 * Input: byte 0 selects the command and how the raw read is done, bytes 1
 * and 2 are the command's option word, the rest is what the device sends. */
#define _GNU_SOURCE
#include <ndi/protocol.h>

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static const char* const commands[] = {
    "BX:%04X",    "TX:%04X",     "GX:%04X",      "PSTAT:%04X",
    "SSTAT:%04X", "IRCHK:%04X",  "PHINF:0A%04X", "PHRQ:*********1****",
    "PHSR:%02X",  "GETLOG:%04X", "VGET:%04X",    "TSTART:",
    "VER:%d",     "TSTOP ",      "BX %04X",      "PHINF:%02X",
};

static int ptyMaster = -1;
static int ptySlave = -1;
static NdiConnection* handle;
static char buffer[NDI_BUFFER_SIZE];

static void setUp(void)
{
    ptyMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptyMaster < 0 || grantpt(ptyMaster) != 0 || unlockpt(ptyMaster) != 0) {
        abort();
    }
    ptySlave = ndiSerialOpen(ptsname(ptyMaster));
    if (ptySlave < 0 || ndiSerialTimeout(ptySlave, 0) != 0) {
        abort();
    }
    /* A network handle whose socket each input replaces. */
    handle = (NdiConnection*)calloc(1, sizeof *handle);
    handle->DeviceHandle = -1;
    handle->Hostname = (char*)"fuzz";
    handle->Port = 1;
    handle->CommandBuffer = (char*)calloc(NDI_BUFFER_SIZE, 1);
    handle->ReplyBuffer = (char*)calloc(NDI_BUFFER_SIZE, 1);
    handle->ReplyText = (char*)calloc(NDI_BUFFER_SIZE, 1);
}

/* The pty holds what it was given before the read starts, so that reads
 * with no time-out see the whole input and nothing else. */
static void readFromPty(const uint8_t* bytes, size_t n, int capacity, int binary)
{
    if (n > 4000) {
        n = 4000; /* what the line's input queue holds */
    }
    if (write(ptyMaster, bytes, n) != (ssize_t)n) {
        abort();
    }
    int pending = 0;
    while (pending < (int)n && ioctl(ptySlave, FIONREAD, &pending) == 0) {
    }
    int r = ndiSerialRead(ptySlave, buffer, capacity, binary, NULL);
    if (r > capacity) {
        abort();
    }
    ndiSerialFlush(ptySlave, 3);
}

static int loadedSocketPair(const uint8_t* bytes, size_t n, int* device)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        abort();
    }
    if (n > 0 && send(pair[1], bytes, n, MSG_NOSIGNAL) != (ssize_t)n) {
        abort();
    }
    shutdown(pair[1], SHUT_WR); /* reads end at the input's end */
    *device = pair[1];
    return pair[0];
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (handle == NULL) {
        setUp();
    }
    if (size < 3 || size > 65536) {
        return 0;
    }
    unsigned selector = data[0];
    unsigned option = (unsigned)data[1] | ((unsigned)data[2] << 8);
    const uint8_t* reply = data + 3;
    size_t n = size - 3;

    /* The raw loops, with a capacity from tiny to the engine's. */
    static const int capacities[4] = {1, 7, 24, NDI_BUFFER_SIZE - 1};
    int capacity = capacities[(selector >> 5) & 3];
    int binary = (selector >> 4) & 1;
    if (selector & 0x80) {
        readFromPty(reply, n, capacity, binary);
    } else {
        int device;
        int s = loadedSocketPair(reply, n, &device);
        int r = ndiSocketRead(s, buffer, capacity, binary, NULL);
        if (r > capacity) {
            abort();
        }
        close(s);
        close(device);
    }

    /* The engine: the same bytes as the reply to one command. */
    int device;
    handle->Socket = loadedSocketPair(reply, n, &device);
    const char* format = commands[selector & 15];
    char* text = ndiCommand(handle, format, option);
    if (text != handle->ReplyText) {
        abort();
    }
    if (ndiGetError(handle) == 0) {
        float transform[8];
        double coord[3];
        char info;
        for (int ph = 0; ph < 4; ph++) {
            ndiGetBXTransform(handle, ph, transform);
            ndiGetBXToolInfo(handle, ph, &info);
            ndiGetTXTransformf(handle, ph, transform);
            ndiGetTXSingleStray(handle, ph, coord);
        }
        ndiGetTXPassiveStray(handle, 0, coord);
        ndiGetPHSRHandle(handle, 0);
        ndiGetPHRQHandle(handle);
    }
    close(handle->Socket);
    close(device);
    return 0;
}
