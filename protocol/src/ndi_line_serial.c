/* A connection's serial line: the serial transport behind the line table,
 * with the settings the line had before, kept with the connection. */
#include "ndi_line_internal.h"
#include "ndi_serial_internal.h"

#include <stdlib.h>

struct NdiSavedLineSettings {
    struct termios settings;
};

static void serialBegin(NdiConnection* h, NdiLineWait* wait)
{
    int timeoutMs, microsPerByte;
    ndiSerialLineTiming(h->DeviceHandle, &timeoutMs, &microsPerByte);
    ndiLineWaitInit(wait, h->DeviceHandle, 0, ndiLineCancelFd(h), timeoutMs, microsPerByte);
}

static void serialFlush(NdiConnection* h, int which) { ndiSerialFlush(h->DeviceHandle, which); }

/* The reply time-out of a serial line is set with ndiSerialTimeout on its
 * descriptor; the handle-level setting is the network's, and a serial line
 * has no socket to apply it to. */
static int serialTimeout(NdiConnection* h, int milliseconds)
{
    (void)h;
    (void)milliseconds;
    return 0;
}

/* The break returns the measurement system to 9600 baud 8N1 without
 * handshake: the host goes there first so that it can read the answer. The
 * new settings wait for pending output to drain, which a line whose
 * handshake is never granted would not do: that output goes first. */
static void serialReset(NdiConnection* h)
{
    int fd = h->DeviceHandle;
    ndiSerialFlush(fd, 2);
    ndiSerialComm(fd, 9600, "8N1", 0);
    ndiSerialFlush(fd, 3);
    ndiSerialBreak(fd);
}

static void serialClose(NdiConnection* h)
{
    struct NdiSavedLineSettings* saved = h->SavedLineSettings;
    if (h->DeviceHandle >= 0) {
        ndiSerialCloseRestoring(h->DeviceHandle, saved != NULL ? &saved->settings : NULL);
    }
    free(saved);
    h->SavedLineSettings = NULL;
}

static const NdiLineOperations operations = {
    serialBegin,
    serialFlush,
    serialTimeout,
    serialReset,
    serialClose,
    "Serial port write error",
    "Serial port read error",
};

const NdiLineOperations* ndiSerialLineOperations(void) { return &operations; }

int ndiLineOpenSerial(NdiConnection* h, const char* device)
{
    struct NdiSavedLineSettings* saved =
        (struct NdiSavedLineSettings*)malloc(sizeof(struct NdiSavedLineSettings));
    if (saved == NULL) {
        return -1;
    }
    int fd = ndiSerialOpenSaving(device, &saved->settings);
    if (fd < 0) {
        free(saved);
        return -1;
    }
    /* The host starts where the measurement system starts after power-up or
     * a break. */
    if (ndiSerialComm(fd, 9600, "8N1", 0) != 0 || ndiSerialFlush(fd, 3) != 0) {
        ndiSerialCloseRestoring(fd, &saved->settings);
        free(saved);
        return -1;
    }
    h->DeviceHandle = fd;
    h->SavedLineSettings = saved;
    h->LineOperations = &operations;
    return 0;
}
