/* Accessors of the binary tracking reply. */
#include "ndi_accessors_fields.h"

static int bxSlot(const NdiConnection* h, int portHandle)
{
    return ndiSlotOfHandle(h->BxSlotOfHandle, h->Capture.BxHandleCount, portHandle);
}

int ndiGetBXTransform(NdiConnection* h, int portHandle, float transform[8])
{
    int slot = bxSlot(h, portHandle);
    if (slot < 0) {
        return 1;
    }
    memcpy(transform, h->Capture.BxTransforms[slot], 8 * sizeof(float));
    unsigned char status = h->Capture.BxHandlesStatus[slot];
    if (status & 0x04) {
        return 1;
    }
    return (status & 0x02) ? 2 : 0;
}

unsigned int ndiGetBXPortStatus(NdiConnection* h, int portHandle)
{
    int slot = bxSlot(h, portHandle);
    return slot < 0 ? 0 : h->Capture.BxPortStatus[slot];
}

unsigned int ndiGetBXFrame(NdiConnection* h, int portHandle)
{
    int slot = bxSlot(h, portHandle);
    return slot < 0 ? 0 : h->Capture.BxFrameNumber[slot];
}

int ndiGetBXToolInfo(NdiConnection* h, int portHandle, char* info)
{
    int slot = bxSlot(h, portHandle);
    if (slot < 0) {
        return 1;
    }
    *info = (char)h->Capture.BxToolMarkerInformation[slot][0];
    return 0;
}

int ndiGetBXMarkerInfo(NdiConnection* h, int portHandle, int marker, char* info)
{
    int slot = bxSlot(h, portHandle);
    if (slot < 0 || marker < 0 || marker >= NDI_MAX_BX_MARKERS) {
        return 1;
    }
    unsigned char pair = h->Capture.BxToolMarkerInformation[slot][1 + marker / 2];
    *info = (char)((marker % 2 == 0) ? (pair & 0x0F) : (pair >> 4));
    return 0;
}

int ndiGetBXSingleStray(NdiConnection* h, int portHandle, float coord[3])
{
    int slot = bxSlot(h, portHandle);
    if (slot < 0) {
        return 1;
    }
    memcpy(coord, h->Capture.BxActiveSingleStrayMarkerPosition[slot], 3 * sizeof(float));
    return 0;
}

static int markerCount(const NdiConnection* h, int slot)
{
    int count = h->Capture.Bx3DMarkerCount[slot];
    if (count < 0) {
        return 0;
    }
    return count < NDI_MAX_BX_MARKERS ? count : NDI_MAX_BX_MARKERS;
}

int ndiGetBXMarkerStrayCount(NdiConnection* h, int portHandle)
{
    int slot = bxSlot(h, portHandle);
    return slot < 0 ? 0 : markerCount(h, slot);
}

int ndiGetBXMarkerStray(NdiConnection* h, int portHandle, int marker, float coord[3])
{
    int slot = bxSlot(h, portHandle);
    if (slot < 0 || marker < 0 || marker >= markerCount(h, slot)) {
        return 1;
    }
    memcpy(coord, h->Capture.Bx3DMarkerPosition[slot][marker], 3 * sizeof(float));
    return 0;
}

int ndiGetBXNumberOfPassiveStrays(NdiConnection* h) { return h->Capture.BxPassiveStrayCount; }

int ndiGetBXPassiveStray(NdiConnection* h, int index, float coord[3])
{
    int count = h->Capture.BxPassiveStrayCount;
    if (count > NDI_MAX_BX_PASSIVE_STRAYS) {
        count = NDI_MAX_BX_PASSIVE_STRAYS;
    }
    if (index < 0 || index >= count) {
        return 1;
    }
    memcpy(coord, h->Capture.BxPassiveStrayPosition[index], 3 * sizeof(float));
    return 0;
}

int ndiGetBXReplyLength(NdiConnection* h) { return h->Capture.BxReplyLength; }

int ndiGetBXMarkerCount(NdiConnection* h) { return h->Capture.BxHandleCount; }

int ndiGetBXSystemStatus(NdiConnection* h) { return h->Capture.BxSystemStatus; }
