/* Finds out whether a measurement system answers on a serial device. The
 * commands carry their CRCs already: "E3A5" is that of "INIT:", "0492" that
 * of "GETINFO:Features.Firmware.Version" and "65EE" that of "VER:0". */
#include <ndi/protocol.h>
#include "ndi_serial_internal.h"

#include <string.h>

static const char initCommand[] = "INIT:E3A5\r";
static const char okayReply[] = "OKAYA896\r";
static const char resetReply[] = "RESETBE6F\r";
static const char getinfoCommand[] = "GETINFO:Features.Firmware.Version0492\r";
static const char verCommand[] = "VER:065EE\r";

#define LENGTH(text) ((int)sizeof(text) - 1)

static int isReply(const char* reply, int n, const char* expected, int length)
{
    return n == length && memcmp(reply, expected, (size_t)length) == 0;
}

static int probeOpenLine(int fd)
{
    char reply[1024];

    if (!ndiSerialCheckDSR(fd)) {
        return NDI_ERR_PROBE;
    }
    if (ndiSerialComm(fd, 9600, "8N1", 0) != 0 || ndiSerialTimeout(fd, 100) != 0) {
        return NDI_ERR_COMM;
    }
    ndiSerialFlush(fd, 3);
    int n = 0;
    if (ndiSerialWrite(fd, initCommand, LENGTH(initCommand)) == LENGTH(initCommand)) {
        ndiSerialSleep(fd, 100);
        n = ndiSerialReadReply(fd, reply, 16, 0);
    }
    if (!isReply(reply, n, okayReply, LENGTH(okayReply))) {
        /* The system may sit at another line speed: a break returns it to
         * 9600 baud, where it answers "RESETBE6F". */
        ndiSerialTimeout(fd, 7000);
        ndiSerialFlush(fd, 3);
        if (ndiSerialFlush(fd, 3) != 0 || ndiSerialBreak(fd) != 0) {
            return NDI_ERR_COMM;
        }
        n = ndiSerialReadReply(fd, reply, 16, 0);
        if (n < 0) {
            return NDI_ERR_READ;
        }
        if (n == 0) {
            return NDI_ERR_TIMEOUT;
        }
        if (!isReply(reply, n, resetReply, LENGTH(resetReply))) {
            return NDI_ERR_PROBE;
        }
        ndiSerialSleep(fd, 100);
        int w = ndiSerialWrite(fd, initCommand, LENGTH(initCommand));
        if (w < 0) {
            return NDI_ERR_WRITE;
        }
        if (w < LENGTH(initCommand)) {
            return NDI_ERR_TIMEOUT;
        }
        ndiSerialSleep(fd, 100);
        n = ndiSerialReadReply(fd, reply, 16, 0);
        if (n < 0) {
            return NDI_ERR_READ;
        }
        if (n == 0) {
            return NDI_ERR_TIMEOUT;
        }
        if (!isReply(reply, n, okayReply, LENGTH(okayReply))) {
            return NDI_ERR_PROBE;
        }
    }

    ndiSerialSleep(fd, 100);
    if (ndiSerialWrite(fd, getinfoCommand, LENGTH(getinfoCommand)) < LENGTH(getinfoCommand)) {
        return NDI_ERR_PROBE;
    }
    n = ndiSerialReadReply(fd, reply, 1023, 0);
    if (n == 0) {
        return NDI_ERR_TIMEOUT;
    }
    if (n < 0) {
        return NDI_ERR_READ;
    }
    if (n >= 5 && memcmp(reply, "ERROR", 5) == 0) {
        /* An older system without GETINFO: any reply to VER will do. */
        if (ndiSerialWrite(fd, verCommand, LENGTH(verCommand)) < LENGTH(verCommand)) {
            return NDI_ERR_PROBE;
        }
        n = ndiSerialReadReply(fd, reply, 1023, 0);
        return n > 6 ? 0 : NDI_ERR_PROBE;
    }
    return n >= 8 && memcmp(reply, "Features", 8) == 0 ? 0 : NDI_ERR_PROBE;
}

int ndiSerialProbe(const char* device)
{
    int fd = ndiSerialOpen(device);
    if (fd < 0) {
        return NDI_ERR_OPEN;
    }
    int result = probeOpenLine(fd);
    ndiSerialClose(fd);
    return result;
}
