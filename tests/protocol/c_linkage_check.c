/* The library seen from C: the header must compile as C11 and every call
 * used here must link without C++. */
#include <ndi/protocol.h>

#include <stdio.h>
#include <string.h>

#include "c_linkage_check.h"

static int callbackCalls;

static void countCall(int code, char* message, void* data)
{
    (void)code;
    (void)message;
    *(int*)data += 1;
}

const char* checkLibraryFromC(const char* device)
{
    if (ndiCRC16(0, "INIT:", 5) != 0xE3A5u) {
        return "CRC of INIT:";
    }
    if (strcmp(ndiErrorString(NDI_ERR_TIMEOUT), "Device->host communication timeout") != 0) {
        return "message of NDI_ERR_TIMEOUT";
    }
    NdiConnection* h = ndiOpenSerial(device);
    if (h == NULL) {
        return "ndiOpenSerial";
    }
    ndiSetErrorCallback(h, countCall, &callbackCalls);
    const char* result = NULL;
    char* reply = ndiCommand(h, "INIT:");
    if (ndiGetError(h) != 0 || strcmp(reply, "OKAY") != 0) {
        result = "INIT: exchange";
    } else if (strcmp(ndiGetSerialDeviceName(h), device) != 0 || ndiGetSocket(h) != -1) {
        result = "handle fields";
    } else {
        ndiCommand(h, "TSTART:");
        if (ndiGetError(h) != 0x0C || callbackCalls != 1 ||
            ndiGetErrorCallbackData(h) != (void*)&callbackCalls) {
            result = "device error through the callback";
        }
    }
    ndiCloseSerial(h);
    return result;
}
