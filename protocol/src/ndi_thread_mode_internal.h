/* The background thread of thread mode. */
#ifndef NDI_THREAD_MODE_INTERNAL_H
#define NDI_THREAD_MODE_INTERNAL_H

#include <ndi/protocol.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The background thread's body; handle is the connection. Returns null. */
void* ndiThreadFunc(void* handle);

#ifdef __cplusplus
}
#endif

#endif
