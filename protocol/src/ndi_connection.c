/* Opening and closing connections, and the handle's plain accessors. */
#include <ndi/protocol.h>

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
    if (h->CommandBuffer == NULL || h->ReplyBuffer == NULL || h->ReplyText == NULL) {
        freeConnection(h);
        return NULL;
    }
    return h;
}

NdiConnection* ndiOpenSerial(const char* device)
{
    int fd = ndiSerialOpen(device);
    if (fd < 0) {
        return NULL;
    }
    if (ndiSerialComm(fd, 9600, "8N1", 0) != 0 || ndiSerialFlush(fd, 3) != 0) {
        ndiSerialClose(fd);
        return NULL;
    }
    NdiConnection* h = allocateConnection();
    if (h == NULL || (h->SerialDeviceName = copyText(device)) == NULL) {
        if (h != NULL) {
            freeConnection(h);
        }
        ndiSerialClose(fd);
        return NULL;
    }
    h->DeviceHandle = fd;
    return h;
}

NdiConnection* ndiOpenNetwork(const char* host, int port)
{
    int s = -1;
    if (!ndiSocketOpen(host, port, &s)) {
        return NULL;
    }
    NdiConnection* h = allocateConnection();
    if (h == NULL || (h->Hostname = copyText(host)) == NULL) {
        if (h != NULL) {
            freeConnection(h);
        }
        ndiSocketClose(s);
        return NULL;
    }
    h->Socket = s;
    h->Port = port;
    return h;
}

void ndiCloseSerial(NdiConnection* h)
{
    if (h == NULL) {
        return;
    }
    /* The background thread must be gone before its line is. */
    ndiSetThreadMode(h, 0);
    if (h->DeviceHandle >= 0) {
        ndiSerialClose(h->DeviceHandle);
    }
    freeConnection(h);
}

void ndiCloseNetwork(NdiConnection* h)
{
    if (h == NULL) {
        return;
    }
    /* The background thread must be gone before its line is. */
    ndiSetThreadMode(h, 0);
    if (h->Socket >= 0) {
        ndiSocketClose(h->Socket);
    }
    freeConnection(h);
}

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
    return ndiSocketTimeout(h->Socket, milliseconds);
}

int ndiGetDeviceHandle(NdiConnection* h) { return h->DeviceHandle; }
char* ndiGetSerialDeviceName(NdiConnection* h) { return h->SerialDeviceName; }
int ndiGetSocket(NdiConnection* h) { return h->Socket; }
char* ndiGetHostname(NdiConnection* h) { return h->Hostname; }
int ndiGetPort(NdiConnection* h) { return h->Port; }
int ndiGetSocketError(NdiConnection* h) { return h->SocketError; }
int ndiGetThreadMode(NdiConnection* h) { return h->ThreadMode; }
