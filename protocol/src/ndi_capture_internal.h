/* The capture step, called by the command engine after a reply has passed
 * its checks and is not an "ERROR" reply, for the commands whose replies are
 * kept in the handle (TX, BX and GX with a two-character name; PSTAT, SSTAT,
 * IRCHK, PHINF, PHRQ, PHSR).
 *
 * command/commandLength: the formatted command text as the caller wrote it,
 *   before its CRC digits and carriage return (the option word and, for
 *   PHINF, the port handle are read from it).
 * reply/replyLength: the checked payload (ReplyText): for text replies the
 *   text without CRC digits and carriage return; for binary replies the bytes
 *   without the two body CRC bytes. Nothing beyond replyLength may be read. */
#ifndef NDI_CAPTURE_INTERNAL_H
#define NDI_CAPTURE_INTERNAL_H

#include <ndi/protocol.h>

#ifdef __cplusplus
extern "C" {
#endif

void ndiCaptureReply(NdiConnection* h, const char* command, int commandLength, const char* reply,
                     int replyLength);

#ifdef __cplusplus
}
#endif

#endif
