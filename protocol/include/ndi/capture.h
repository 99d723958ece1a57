/* Capture areas of the connection handle and the reply accessors.
 *
 * After a checked, non-error reply to TX, BX, GX, PSTAT, SSTAT, IRCHK, PHINF,
 * PHRQ or PHSR, ndiCommand copies the parts of the reply that matter into
 * these fixed areas of the handle; the accessors below read them without
 * talking to the device. Captured data belongs to the last successful reply
 * of its command; an area holds zeros until the first one.
 *
 * Limits of the areas: 24 tools per tracking reply, 20 3D markers per tool,
 * 50 text passive strays, 240 binary passive strays. A reply that reports
 * more is still parsed in step, but only what fits is kept and the stored
 * counts say how much was kept, so that every count can be used to index
 * the arrays it describes.
 *
 * Result codes of the accessors: 0 valid, 1 disabled, not found or no data,
 * 2 missing (or an index outside the count), 3 unoccupied / no tool.
 * No accessor NUL-terminates the character arrays it fills. */
#ifndef NDI_CAPTURE_H
#define NDI_CAPTURE_H

#include "connection.h"

#define NDI_MAX_HANDLES 24

/* Most 3D markers kept per tool of a binary tracking reply. */
#define NDI_MAX_BX_MARKERS 20
/* Most passive strays kept from a text tracking reply. */
#define NDI_MAX_TX_PASSIVE_STRAYS 50
/* Most passive strays kept from a binary tracking reply. */
#define NDI_MAX_BX_PASSIVE_STRAYS 240

#ifdef __cplusplus
extern "C" {
#endif

// The library is built with hidden symbols; what is declared here is its
// interface, also to programs that load it as part of a shared library.
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

typedef struct NdiCaptureAreas {
    /* GX: active ports '1' to '3', passive ports 'A' to 'I'. */
    char GxTransforms[3][52];
    char GxStatus[8];
    char GxInformation[3][12];
    char GxSingleStray[3][24];
    char GxFrame[3][8];
    char GxPassiveTransforms[9][52];
    char GxPassiveStatus[24];
    char GxPassiveInformation[9][12];
    char GxPassiveFrame[9][8];
    char GxPassiveStray[424];

    /* PSTAT */
    char PstatBasic[3][32];
    char PstatTesting[3][8];
    char PstatPartNumber[3][20];
    char PstatAccessories[3][2];
    char PstatMarkerType[3][2];
    char PstatPassiveBasic[9][32];
    char PstatPassiveTesting[9][8];
    char PstatPassivePartNumber[9][20];
    char PstatPassiveAccessories[9][2];
    char PstatPassiveMarkerType[9][2];

    /* SSTAT */
    char SstatControl[2];
    char SstatSensor[2];
    char SstatTiu[2];

    /* IRCHK */
    int IrchkDetected;
    char IrchkSources[128];

    /* PHRQ */
    char PhrqReply[2];

    /* PHSR */
    char PhsrReply[1284];

    /* PHINF */
    int PhinfUnoccupied;
    char PhinfBasic[34];
    char PhinfTesting[8];
    char PhinfPartNumber[20];
    char PhinfAccessories[2];
    char PhinfMarkerType[2];
    char PhinfPortLocation[14];
    char PhinfGpioStatus[2];

    /* TX */
    int TxHandleCount;
    unsigned char TxHandles[NDI_MAX_HANDLES];
    char TxTransforms[NDI_MAX_HANDLES][52];
    char TxStatus[NDI_MAX_HANDLES][8];
    char TxFrame[NDI_MAX_HANDLES][8];
    char TxInformation[NDI_MAX_HANDLES][21];
    char TxSingleStray[NDI_MAX_HANDLES][24];
    char TxSystemStatus[4];
    int TxPassiveStrayCount;
    char TxPassiveStrayOov[14];
    char TxPassiveStray[1052];

    /* BX */
    unsigned short BxReplyLength;
    unsigned char BxHandleCount;
    unsigned char BxHandles[NDI_MAX_HANDLES];
    unsigned char BxHandlesStatus[NDI_MAX_HANDLES];
    unsigned int BxFrameNumber[NDI_MAX_HANDLES];
    float BxTransforms[NDI_MAX_HANDLES][8];
    unsigned int BxPortStatus[NDI_MAX_HANDLES];
    unsigned char BxToolMarkerInformation[NDI_MAX_HANDLES][11];
    unsigned char BxActiveSingleStrayMarkerStatus[NDI_MAX_HANDLES];
    float BxActiveSingleStrayMarkerPosition[NDI_MAX_HANDLES][3];
    signed char Bx3DMarkerCount[NDI_MAX_HANDLES];
    unsigned char Bx3DMarkerOutOfVolume[NDI_MAX_HANDLES][3];
    float Bx3DMarkerPosition[NDI_MAX_HANDLES][NDI_MAX_BX_MARKERS][3];
    int BxPassiveStrayCount;
    unsigned char BxPassiveStrayOutOfVolume[30];
    float BxPassiveStrayPosition[NDI_MAX_BX_PASSIVE_STRAYS][3];
    int BxSystemStatus;
} NdiCaptureAreas;

/* Text tracking reply (TX). */
int ndiGetTXTransformf(NdiConnection* h, int portHandle, float transform[8]);
int ndiGetTXTransform(NdiConnection* h, int portHandle, double transform[8]);
unsigned long ndiGetTXPortStatus(NdiConnection* h, int portHandle);
unsigned long ndiGetTXFrame(NdiConnection* h, int portHandle);
int ndiGetTXToolInfo(NdiConnection* h, int portHandle);
int ndiGetTXMarkerInfo(NdiConnection* h, int portHandle, int marker);
int ndiGetTXSingleStray(NdiConnection* h, int portHandle, double coord[3]);
int ndiGetTXNumberOfPassiveStrays(NdiConnection* h);
int ndiGetTXPassiveStray(NdiConnection* h, int index, double coord[3]);
int ndiGetTXSystemStatus(NdiConnection* h);

/* Binary tracking reply (BX). */
int ndiGetBXTransform(NdiConnection* h, int portHandle, float transform[8]);
unsigned int ndiGetBXPortStatus(NdiConnection* h, int portHandle);
unsigned int ndiGetBXFrame(NdiConnection* h, int portHandle);
int ndiGetBXToolInfo(NdiConnection* h, int portHandle, char* info);
/* marker 0 to 19: marker 2k is the low nibble and marker 2k + 1 the high
 * nibble of the (k + 1)-th byte after the tool information byte. */
int ndiGetBXMarkerInfo(NdiConnection* h, int portHandle, int marker, char* info);
int ndiGetBXSingleStray(NdiConnection* h, int portHandle, float coord[3]);
int ndiGetBXMarkerStrayCount(NdiConnection* h, int portHandle);
int ndiGetBXMarkerStray(NdiConnection* h, int portHandle, int marker, float coord[3]);
int ndiGetBXNumberOfPassiveStrays(NdiConnection* h);
int ndiGetBXPassiveStray(NdiConnection* h, int index, float coord[3]);
int ndiGetBXReplyLength(NdiConnection* h);
int ndiGetBXMarkerCount(NdiConnection* h);
int ndiGetBXSystemStatus(NdiConnection* h);

/* Port handles. */
int ndiGetPHRQHandle(NdiConnection* h);
int ndiGetPHSRNumberOfHandles(NdiConnection* h);
int ndiGetPHSRHandle(NdiConnection* h, int index);
int ndiGetPHSRInformation(NdiConnection* h, int index);
int ndiGetPHINFPortStatus(NdiConnection* h);
int ndiGetPHINFCurrentTest(NdiConnection* h);
int ndiGetPHINFAccessories(NdiConnection* h);
int ndiGetPHINFMarkerType(NdiConnection* h);
int ndiGetPHINFGPIOStatus(NdiConnection* h);
int ndiGetPHINFToolInfo(NdiConnection* h, char info[31]);
int ndiGetPHINFPartNumber(NdiConnection* h, char part[20]);
int ndiGetPHINFPortLocation(NdiConnection* h, char location[14]);

/* Older tracking reply (GX): ports are the characters '1' to '3' (active)
 * and 'A' to 'I' (passive). */
int ndiGetGXTransform(NdiConnection* h, int port, double transform[8]);
int ndiGetGXPortStatus(NdiConnection* h, int port);
int ndiGetGXSystemStatus(NdiConnection* h);
int ndiGetGXToolInfo(NdiConnection* h, int port);
/* marker 'A' to 'J'; the 12-character information holds no others. */
int ndiGetGXMarkerInfo(NdiConnection* h, int port, int marker);
int ndiGetGXSingleStray(NdiConnection* h, int port, double coord[3]);
unsigned long ndiGetGXFrame(NdiConnection* h, int port);
int ndiGetGXNumberOfPassiveStrays(NdiConnection* h);
int ndiGetGXPassiveStray(NdiConnection* h, int index, double coord[3]);

/* Port status (PSTAT). */
int ndiGetPSTATPortStatus(NdiConnection* h, int port);
int ndiGetPSTATToolInfo(NdiConnection* h, int port, char information[30]);
unsigned long ndiGetPSTATCurrentTest(NdiConnection* h, int port);
int ndiGetPSTATPartNumber(NdiConnection* h, int port, char part[20]);
int ndiGetPSTATAccessories(NdiConnection* h, int port);
int ndiGetPSTATMarkerType(NdiConnection* h, int port);

/* System status (SSTAT). */
int ndiGetSSTATControl(NdiConnection* h);
int ndiGetSSTATSensors(NdiConnection* h);
int ndiGetSSTATTIU(NdiConnection* h);

/* Infrared interference check (IRCHK). */
int ndiGetIRCHKDetected(NdiConnection* h);
int ndiGetIRCHKNumberOfSources(NdiConnection* h, int side);
int ndiGetIRCHKSourceXY(NdiConnection* h, int side, int index, double xy[2]);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
