/* Capture of the port status, system status and infrared check replies. */
#include "ndi_capture_replies.h"

static void capturePort(NdiReplyCursor* c, unsigned int option, char* basic, char* testing,
                        char* partNumber, char* accessories, char* markerType)
{
    if (option & 0x0001) {
        ndiCursorCopyText(c, basic, 32, 32);
    }
    if (option & 0x0002) {
        ndiCursorCopyText(c, testing, 8, 8);
    }
    if (option & 0x0004) {
        ndiCursorCopyText(c, partNumber, 20, 20);
    }
    if (option & 0x0008) {
        ndiCursorCopyText(c, accessories, 2, 2);
    }
    if (option & 0x0010) {
        ndiCursorCopyText(c, markerType, 2, 2);
    }
    ndiCursorSkipLine(c);
}

void ndiCapturePSTAT(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c)
{
    for (int i = 0; i < 3; ++i) {
        capturePort(c, option, a->PstatBasic[i], a->PstatTesting[i], a->PstatPartNumber[i],
                    a->PstatAccessories[i], a->PstatMarkerType[i]);
    }
    if (option & 0x8000) {
        int ports = (option & 0x2000) ? 9 : 3;
        for (int i = 0; i < ports; ++i) {
            capturePort(c, option, a->PstatPassiveBasic[i], a->PstatPassiveTesting[i],
                        a->PstatPassivePartNumber[i], a->PstatPassiveAccessories[i],
                        a->PstatPassiveMarkerType[i]);
        }
    }
}

void ndiCaptureSSTAT(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c)
{
    if (option & 0x0001) {
        ndiCursorCopyText(c, a->SstatControl, 2, 2);
    }
    if (option & 0x0002) {
        ndiCursorCopyText(c, a->SstatSensor, 2, 2);
    }
    if (option & 0x0004) {
        ndiCursorCopyText(c, a->SstatTiu, 2, 2);
    }
}

void ndiCaptureIRCHK(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c)
{
    if (option & 0x0001) {
        a->IrchkDetected = ndiCursorPeek(c);
        if (ndiCursorRemaining(c) > 0) {
            ++c->pos;
        }
        ndiCursorSkipLineFeed(c);
    }
    if (option & 0x0002) {
        ndiCursorCopyText(c, a->IrchkSources, 128, 126);
    }
}
