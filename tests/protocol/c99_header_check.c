/* C callers may build with an older standard: every public header, alone
 * and together, must compile as strict C99. */
#include <ndi/capture.h>
#include <ndi/state.h>
#include <ndi/upload.h>
#include <ndi/protocol.h>
