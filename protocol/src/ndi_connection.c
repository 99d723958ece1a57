/* Opening and closing connections, and the handle's plain accessors. */
#include <ndi/protocol.h>
#include "ndi_line_internal.h"

#include <stdlib.h>
#include <string.h>

static char* copyText(const char* text)
{
    size_t n = strlen(text) + 1;
    char* copy = (char*)malloc(n);
    if (copy != NULL) {
        memcpy(copy, text, n);
    }
    return copy;
}

static void freeConnection(NdiConnection* h)
{
    free(h->SerialDeviceName);
    free(h->Hostname);
    free(h->CommandBuffer);
    free(h->ReplyBuffer);
    free(h->ReplyText);
    ndiReplyCancelDestroy(h->ReplyCancel);
    free(h);
}

/* Every buffer the command path uses is allocated here, once. */
static NdiConnection* allocateConnection(void)
{
    NdiConnection* h = (NdiConnection*)calloc(1, sizeof *h);
    if (h == NULL) {
        return NULL;
    }
    h->DeviceHandle = -1;
    h->Socket = -1;
    h->Port = -1;
    h->CommandBuffer = (char*)calloc(NDI_BUFFER_SIZE, 1);
    h->ReplyBuffer = (char*)calloc(NDI_BUFFER_SIZE, 1);
    h->ReplyText = (char*)calloc(NDI_BUFFER_SIZE, 1);
    h->ReplyCancel = ndiReplyCancelCreate();
    if (h->CommandBuffer == NULL || h->ReplyBuffer == NULL || h->ReplyText == NULL ||
        h->ReplyCancel == NULL) {
        freeConnection(h);
        return NULL;
    }
    return h;
}

NdiConnection* ndiOpenSerial(const char* device)
{
    if (device == NULL) {
        return NULL;
    }
    NdiConnection* h = allocateConnection();
    if (h == NULL) {
        return NULL;
    }
    if ((h->SerialDeviceName = copyText(device)) == NULL || ndiLineOpenSerial(h, device) != 0) {
        freeConnection(h);
        return NULL;
    }
    return h;
}

NdiConnection* ndiOpenNetwork(const char* host, int port)
{
    if (host == NULL) {
        return NULL;
    }
    NdiConnection* h = allocateConnection();
    if (h == NULL) {
        return NULL;
    }
    if ((h->Hostname = copyText(host)) == NULL || ndiLineOpenSocket(h, host, port) != 0) {
        freeConnection(h);
        return NULL;
    }
    return h;
}

/* Either kind of connection: its line knows how to close itself. */
static void closeConnection(NdiConnection* h)
{
    if (h == NULL) {
        return;
    }
    /* The background thread must be gone before its line is. */
    ndiSetThreadMode(h, 0);
    ndiLineOf(h)->close(h);
    freeConnection(h);
}

void ndiCloseSerial(NdiConnection* h) { closeConnection(h); }
void ndiCloseNetwork(NdiConnection* h) { closeConnection(h); }

int ndiGetError(NdiConnection* h) { return h->LastError; }

void ndiSetErrorCallback(NdiConnection* h, NdiErrorCallback callback, void* data)
{
    h->ErrorCallback = callback;
    h->ErrorCallbackData = data;
}

NdiErrorCallback ndiGetErrorCallback(NdiConnection* h) { return h->ErrorCallback; }
void* ndiGetErrorCallbackData(NdiConnection* h) { return h->ErrorCallbackData; }

int ndiTimeoutSocket(NdiConnection* h, int milliseconds)
{
    return ndiLineOf(h)->timeout(h, milliseconds);
}

int ndiGetDeviceHandle(NdiConnection* h) { return h->DeviceHandle; }
char* ndiGetSerialDeviceName(NdiConnection* h) { return h->SerialDeviceName; }
int ndiGetSocket(NdiConnection* h) { return h->Socket; }
char* ndiGetHostname(NdiConnection* h) { return h->Hostname; }
int ndiGetPort(NdiConnection* h) { return h->Port; }
int ndiGetSocketError(NdiConnection* h) { return h->SocketError; }
int ndiGetThreadMode(NdiConnection* h) { return h->ThreadMode; }
