/* Accessors of the older text tracking reply. Ports are named '1' to '3'
 * (active) and 'A' to 'I' (passive). */
#include "ndi_accessors_fields.h"

static int activePort(int port) { return port >= '1' && port <= '3' ? port - '1' : -1; }

static int passivePort(int port) { return port >= 'A' && port <= 'I' ? port - 'A' : -1; }

/* The port's 12-character information, or null for an unknown port. */
static const char* information(const NdiConnection* h, int port)
{
    int i = activePort(port);
    if (i >= 0) {
        return h->Capture.GxInformation[i];
    }
    i = passivePort(port);
    return i >= 0 ? h->Capture.GxPassiveInformation[i] : 0;
}

int ndiGetGXTransform(NdiConnection* h, int port, double transform[8])
{
    const char* text;
    int i = activePort(port);
    if (i >= 0) {
        text = h->Capture.GxTransforms[i];
    } else if ((i = passivePort(port)) >= 0) {
        text = h->Capture.GxPassiveTransforms[i];
    } else {
        return 1;
    }
    int state = ndiPoseTextState(text);
    if (state != 0) {
        return state;
    }
    double pose[8];
    if (ndiParsePoseText(text, 52, pose) != 0) {
        return 1;
    }
    memcpy(transform, pose, sizeof pose);
    return 0;
}

int ndiGetGXPortStatus(NdiConnection* h, int port)
{
    /* Each status group is the system status followed by its three ports in
     * reverse order: 3, 2, 1 or C, B, A and so on. */
    int i = activePort(port);
    if (i >= 0) {
        return (int)ndiFieldHex(h->Capture.GxStatus, 8, 6 - 2 * i, 2);
    }
    i = passivePort(port);
    if (i >= 0) {
        return (int)ndiFieldHex(h->Capture.GxPassiveStatus, 24, 8 * (i / 3) + 6 - 2 * (i % 3), 2);
    }
    return 0;
}

int ndiGetGXSystemStatus(NdiConnection* h)
{
    if (h->Capture.GxStatus[0] == '\0') {
        return (int)ndiFieldHex(h->Capture.GxPassiveStatus, 24, 0, 2);
    }
    return (int)ndiFieldHex(h->Capture.GxStatus, 8, 0, 2);
}

int ndiGetGXToolInfo(NdiConnection* h, int port)
{
    const char* info = information(h, port);
    return info ? (int)ndiFieldHex(info, 12, 0, 2) : 0;
}

int ndiGetGXMarkerInfo(NdiConnection* h, int port, int marker)
{
    /* Markers A to J sit at positions 11 down to 2, behind the two digits of
     * tool information; the field holds no room for markers K to T. */
    const char* info = information(h, port);
    if (!info || marker < 'A' || marker > 'J') {
        return 0;
    }
    return (int)ndiFieldHex(info, 12, 11 - (marker - 'A'), 1);
}

int ndiGetGXSingleStray(NdiConnection* h, int port, double coord[3])
{
    int i = activePort(port);
    if (i < 0) {
        return 1;
    }
    return ndiSingleStrayFromText(h->Capture.GxSingleStray[i], coord);
}

unsigned long ndiGetGXFrame(NdiConnection* h, int port)
{
    int i = activePort(port);
    if (i >= 0) {
        return ndiFieldHex(h->Capture.GxFrame[i], 8, 0, 8);
    }
    i = passivePort(port);
    return i >= 0 ? ndiFieldHex(h->Capture.GxPassiveFrame[i], 8, 0, 8) : 0;
}

int ndiGetGXNumberOfPassiveStrays(NdiConnection* h)
{
    long count = ndiFieldSigned(h->Capture.GxPassiveStray, 424, 0, 3);
    if (count < 0) {
        return 0;
    }
    return count > 20 ? 20 : (int)count;
}

int ndiGetGXPassiveStray(NdiConnection* h, int index, double coord[3])
{
    if (h->Capture.GxPassiveStray[0] == '\0') {
        return 1;
    }
    if (index < 0 || index >= ndiGetGXNumberOfPassiveStrays(h)) {
        return 2;
    }
    double xyz[3];
    if (ndiParseCoordsText(h->Capture.GxPassiveStray, 424, 3 + 21L * index, xyz) != 0) {
        return 1;
    }
    memcpy(coord, xyz, sizeof xyz);
    return 0;
}
