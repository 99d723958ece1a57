/* Accessors of the port-handle replies: PHRQ, PHSR and PHINF. */
#include "ndi_accessors_fields.h"

int ndiGetPHRQHandle(NdiConnection* h) { return (int)ndiFieldHex(h->Capture.PhrqReply, 2, 0, 2); }

int ndiGetPHSRNumberOfHandles(NdiConnection* h)
{
    return (int)ndiFieldHex(h->Capture.PhsrReply, 1284, 0, 2);
}

int ndiGetPHSRHandle(NdiConnection* h, int index)
{
    if (index < 0 || index > ndiGetPHSRNumberOfHandles(h)) {
        return 0;
    }
    return (int)ndiFieldHex(h->Capture.PhsrReply, 1284, 2 + 5L * index, 2);
}

int ndiGetPHSRInformation(NdiConnection* h, int index)
{
    if (index < 0 || index > ndiGetPHSRNumberOfHandles(h)) {
        return 0;
    }
    return (int)ndiFieldHex(h->Capture.PhsrReply, 1284, 4 + 5L * index, 3);
}

int ndiGetPHINFPortStatus(NdiConnection* h)
{
    return (int)ndiFieldHex(h->Capture.PhinfBasic, 34, 31, 2);
}

int ndiGetPHINFCurrentTest(NdiConnection* h)
{
    return (int)ndiFieldHex(h->Capture.PhinfTesting, 8, 0, 8);
}

int ndiGetPHINFAccessories(NdiConnection* h)
{
    return (int)ndiFieldHex(h->Capture.PhinfAccessories, 2, 0, 2);
}

int ndiGetPHINFMarkerType(NdiConnection* h)
{
    return (int)ndiFieldHex(h->Capture.PhinfMarkerType, 2, 0, 2);
}

int ndiGetPHINFGPIOStatus(NdiConnection* h)
{
    return (int)ndiFieldHex(h->Capture.PhinfGpioStatus, 2, 0, 2);
}

int ndiGetPHINFToolInfo(NdiConnection* h, char info[31])
{
    memcpy(info, h->Capture.PhinfBasic, 31);
    return h->Capture.PhinfUnoccupied;
}

int ndiGetPHINFPartNumber(NdiConnection* h, char part[20])
{
    memcpy(part, h->Capture.PhinfPartNumber, 20);
    return h->Capture.PhinfUnoccupied;
}

int ndiGetPHINFPortLocation(NdiConnection* h, char location[14])
{
    memcpy(location, h->Capture.PhinfPortLocation, 14);
    return h->Capture.PhinfUnoccupied;
}
