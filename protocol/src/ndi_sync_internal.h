/* Condition variables for thread mode, beside its mutexes and events. */
#ifndef NDI_SYNC_INTERNAL_H
#define NDI_SYNC_INTERNAL_H

#include <ndi/protocol.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A heap-allocated condition variable, null when it cannot be created. A
 * wait has no time limit: whoever changes what the waiter waits for does so
 * under the same mutex and wakes it, so no wake-up can be missed. */
pthread_cond_t* ndiConditionCreate(void);
void ndiConditionDestroy(pthread_cond_t* condition);
int ndiConditionWait(pthread_cond_t* condition, NdiMutex mutex);
int ndiConditionWake(pthread_cond_t* condition);

#ifdef __cplusplus
}
#endif

#endif
