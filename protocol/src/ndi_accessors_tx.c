/* Accessors of the text tracking reply. */
#include "ndi_accessors_fields.h"

static int txSlot(const NdiConnection* h, int portHandle)
{
    return ndiSlotOfHandle(h->TxSlotOfHandle, h->Capture.TxHandleCount, portHandle);
}

static int txTransform(NdiConnection* h, int portHandle, double out[8])
{
    int slot = txSlot(h, portHandle);
    if (slot < 0) {
        return 1;
    }
    const char* text = h->Capture.TxTransforms[slot];
    int state = ndiPoseTextState(text);
    if (state != 0) {
        return state;
    }
    return ndiParsePoseText(text, 52, out);
}

int ndiGetTXTransformf(NdiConnection* h, int portHandle, float transform[8])
{
    double pose[8];
    int result = txTransform(h, portHandle, pose);
    if (result == 0) {
        for (int i = 0; i < 8; ++i) {
            transform[i] = (float)pose[i];
        }
    }
    return result;
}

int ndiGetTXTransform(NdiConnection* h, int portHandle, double transform[8])
{
    double pose[8];
    int result = txTransform(h, portHandle, pose);
    if (result == 0) {
        memcpy(transform, pose, sizeof pose);
    }
    return result;
}

unsigned long ndiGetTXPortStatus(NdiConnection* h, int portHandle)
{
    int slot = txSlot(h, portHandle);
    return slot < 0 ? 0 : ndiFieldHex(h->Capture.TxStatus[slot], 8, 0, 8);
}

unsigned long ndiGetTXFrame(NdiConnection* h, int portHandle)
{
    int slot = txSlot(h, portHandle);
    return slot < 0 ? 0 : ndiFieldHex(h->Capture.TxFrame[slot], 8, 0, 8);
}

int ndiGetTXToolInfo(NdiConnection* h, int portHandle)
{
    int slot = txSlot(h, portHandle);
    return slot < 0 ? 0 : (int)ndiFieldHex(h->Capture.TxInformation[slot], 20, 0, 2);
}

int ndiGetTXMarkerInfo(NdiConnection* h, int portHandle, int marker)
{
    int slot = txSlot(h, portHandle);
    if (slot < 0 || marker < 0 || marker > 19) {
        return 1;
    }
    /* Only the first 20 characters are kept: the last markers read as 0. */
    return (int)ndiFieldHex(h->Capture.TxInformation[slot], 20, 2 + marker, 1);
}

int ndiGetTXSingleStray(NdiConnection* h, int portHandle, double coord[3])
{
    int slot = txSlot(h, portHandle);
    if (slot < 0) {
        return 1;
    }
    return ndiSingleStrayFromText(h->Capture.TxSingleStray[slot], coord);
}

int ndiGetTXNumberOfPassiveStrays(NdiConnection* h) { return h->Capture.TxPassiveStrayCount; }

int ndiGetTXPassiveStray(NdiConnection* h, int index, double coord[3])
{
    const NdiCaptureAreas* a = &h->Capture;
    if (a->TxPassiveStray[0] == '\0') {
        return 1;
    }
    int count = a->TxPassiveStrayCount;
    if (count > NDI_MAX_TX_PASSIVE_STRAYS) {
        count = NDI_MAX_TX_PASSIVE_STRAYS;
    }
    if (index < 0 || count < 0 || index >= count) {
        return 2;
    }
    double xyz[3];
    if (ndiParseCoordsText(a->TxPassiveStray, 1052, 21L * index, xyz) != 0) {
        return 1;
    }
    memcpy(coord, xyz, sizeof xyz);
    return 0;
}

int ndiGetTXSystemStatus(NdiConnection* h)
{
    return (int)ndiFieldHex(h->Capture.TxSystemStatus, 4, 0, 4);
}
