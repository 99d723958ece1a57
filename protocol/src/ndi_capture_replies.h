/* The capture of each reply kind, called by ndiCaptureReply with the option
 * word already taken from the command. */
#ifndef NDI_CAPTURE_REPLIES_H
#define NDI_CAPTURE_REPLIES_H

#include "ndi_capture_cursor.h"
#include <ndi/protocol.h>

void ndiCaptureTX(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c);
void ndiCaptureBX(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c);
void ndiCaptureGX(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c);
void ndiCapturePSTAT(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c);
void ndiCaptureSSTAT(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c);
void ndiCaptureIRCHK(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c);
void ndiCapturePHINF(NdiCaptureAreas* a, unsigned int option, NdiReplyCursor* c);
void ndiCapturePHRQ(NdiCaptureAreas* a, NdiReplyCursor* c);
void ndiCapturePHSR(NdiCaptureAreas* a, NdiReplyCursor* c);

#endif
