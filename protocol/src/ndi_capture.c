/* Placeholder: the decoder work replaces this file. */
#include "ndi_capture_internal.h"

void ndiCaptureReply(NdiConnection* h, const char* command, int commandLength,
                     const char* reply, int replyLength)
{
    (void)h; (void)command; (void)commandLength; (void)reply; (void)replyLength;
}
