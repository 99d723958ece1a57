/* Capture of the older text tracking reply: active ports 1 to 3, passive
 * ports A to I in groups of three. */
#include "ndi_capture_replies.h"

void ndiCaptureGX(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c)
{
    if (option & 0x0001) {
        for (int i = 0; i < 3; ++i) {
            ndiCursorCopyText(c, a->GxTransforms[i], 52, 51);
            ndiCursorSkipLine(c);
        }
        ndiCursorCopyText(c, a->GxStatus, 8, 8);
        ndiCursorSkipLine(c);
    }
    if (option & 0x0002) {
        for (int i = 0; i < 3; ++i) {
            ndiCursorCopyText(c, a->GxInformation[i], 12, 12);
        }
        ndiCursorSkipLine(c);
    }
    if (option & 0x0004) {
        for (int i = 0; i < 3; ++i) {
            ndiCursorCopyText(c, a->GxSingleStray[i], 24, 21);
            ndiCursorSkipLine(c);
        }
    }
    if (option & 0x0008) {
        for (int i = 0; i < 3; ++i) {
            ndiCursorCopyText(c, a->GxFrame[i], 8, 8);
        }
        ndiCursorSkipLine(c);
    }

    if (option & 0x8000) {
        int groups = (option & 0x2000) ? 3 : 1;
        if ((option & 0x0001) || (option & 0x000F) == 0) {
            for (int g = 0; g < groups; ++g) {
                for (int i = 0; i < 3; ++i) {
                    ndiCursorCopyText(c, a->GxPassiveTransforms[3 * g + i], 52, 51);
                    ndiCursorSkipLine(c);
                }
                ndiCursorCopyText(c, a->GxPassiveStatus + 8 * g, 8, 8);
                ndiCursorSkipLine(c);
            }
        }
        if (option & 0x0002) {
            for (int i = 0; i < 3 * groups; ++i) {
                ndiCursorCopyText(c, a->GxPassiveInformation[i], 12, 12);
            }
            ndiCursorSkipLine(c);
        }
        if (option & 0x0008) {
            for (int i = 0; i < 3 * groups; ++i) {
                ndiCursorCopyText(c, a->GxPassiveFrame[i], 8, 8);
            }
            ndiCursorSkipLine(c);
        }
    }

    if (option & 0x1000) {
        ndiCursorCopyText(c, a->GxPassiveStray, 424, 423);
    }
}
