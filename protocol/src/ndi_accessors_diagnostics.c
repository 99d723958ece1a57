/* Accessors of the port status, system status and infrared check replies. */
#include "ndi_accessors_fields.h"

typedef struct PortFields {
    const char* basic;
    const char* testing;
    const char* partNumber;
    const char* accessories;
    const char* markerType;
} PortFields;

/* The port's PSTAT fields; 0 for a port name outside '1'-'3' and 'A'-'I'. */
static int portFields(const NdiConnection* h, int port, PortFields* f)
{
    const NdiCaptureAreas* a = &h->Capture;
    if (port >= '1' && port <= '3') {
        int i = port - '1';
        *f = (PortFields){a->PstatBasic[i], a->PstatTesting[i], a->PstatPartNumber[i],
                          a->PstatAccessories[i], a->PstatMarkerType[i]};
        return 1;
    }
    if (port >= 'A' && port <= 'I') {
        int i = port - 'A';
        *f = (PortFields){a->PstatPassiveBasic[i], a->PstatPassiveTesting[i],
                          a->PstatPassivePartNumber[i], a->PstatPassiveAccessories[i],
                          a->PstatPassiveMarkerType[i]};
        return 1;
    }
    return 0;
}

static int hasTool(const PortFields* f) { return f->basic[0] != '\0' && f->basic[0] != 'U'; }

int ndiGetPSTATPortStatus(NdiConnection* h, int port)
{
    PortFields f;
    if (!portFields(h, port, &f) || !hasTool(&f)) {
        return 0;
    }
    return (int)ndiFieldHex(f.basic, 32, 30, 2);
}

int ndiGetPSTATToolInfo(NdiConnection* h, int port, char information[30])
{
    PortFields f;
    if (!portFields(h, port, &f) || !hasTool(&f)) {
        return 3;
    }
    memcpy(information, f.basic, 30);
    return 0;
}

unsigned long ndiGetPSTATCurrentTest(NdiConnection* h, int port)
{
    PortFields f;
    return portFields(h, port, &f) ? ndiFieldHex(f.testing, 8, 0, 8) : 0;
}

int ndiGetPSTATPartNumber(NdiConnection* h, int port, char part[20])
{
    PortFields f;
    if (!portFields(h, port, &f) || f.partNumber[0] == '\0') {
        return 3;
    }
    memcpy(part, f.partNumber, 20);
    return 0;
}

int ndiGetPSTATAccessories(NdiConnection* h, int port)
{
    PortFields f;
    return portFields(h, port, &f) ? (int)ndiFieldHex(f.accessories, 2, 0, 2) : 0;
}

int ndiGetPSTATMarkerType(NdiConnection* h, int port)
{
    PortFields f;
    return portFields(h, port, &f) ? (int)ndiFieldHex(f.markerType, 2, 0, 2) : 0;
}

int ndiGetSSTATControl(NdiConnection* h)
{
    return (int)ndiFieldHex(h->Capture.SstatControl, 2, 0, 2);
}

int ndiGetSSTATSensors(NdiConnection* h)
{
    return (int)ndiFieldHex(h->Capture.SstatSensor, 2, 0, 2);
}

int ndiGetSSTATTIU(NdiConnection* h) { return (int)ndiFieldHex(h->Capture.SstatTiu, 2, 0, 2); }

int ndiGetIRCHKDetected(NdiConnection* h) { return h->Capture.IrchkDetected == '1'; }

/* The source list: a 3-character signed count of side 0 sources, that many
 * x, y pairs of 3 characters each, then the same for side 1. Finds the
 * position of a side's count and the count itself; 0 when the list is
 * empty, the count is outside 0 to 20 or it lies beyond the kept text. */
static int sourceCount(const NdiConnection* h, int side, int* countPos)
{
    const char* list = h->Capture.IrchkSources;
    int length = ndiFieldLength(list, 128);
    int pos = 0;
    for (int s = 0;; ++s) {
        if (length < pos + 3) {
            return 0;
        }
        long count = ndiFieldSigned(list, 128, pos, 3);
        if (count < 0 || count > 20) {
            return 0;
        }
        if (s == side) {
            *countPos = pos;
            return (int)count;
        }
        pos += 3 + 6 * (int)count;
    }
}

int ndiGetIRCHKNumberOfSources(NdiConnection* h, int side)
{
    int pos;
    if (side != 0 && side != 1) {
        return 0;
    }
    return sourceCount(h, side, &pos);
}

int ndiGetIRCHKSourceXY(NdiConnection* h, int side, int index, double xy[2])
{
    int pos;
    if (side != 0 && side != 1) {
        return 2;
    }
    int count = sourceCount(h, side, &pos);
    if (index < 0 || index >= count) {
        return 2;
    }
    const char* list = h->Capture.IrchkSources;
    long at = pos + 3 + 6L * index;
    if (ndiFieldLength(list, 128) < at + 6) {
        return 2;
    }
    xy[0] = (double)ndiFieldSigned(list, 128, at, 3) * 0.01;
    xy[1] = (double)ndiFieldSigned(list, 128, at + 3, 3) * 0.01;
    return 0;
}
