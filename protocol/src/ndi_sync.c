/* Mutexes, auto-reset events, condition variables and threads for thread
 * mode. */
#include <ndi/protocol.h>
#include "ndi_sync_internal.h"

#include <errno.h>
#include <stdlib.h>
#include <time.h>

struct NdiEventRecord {
    int signalled;
    pthread_cond_t condition;
    pthread_mutex_t mutex;
};

NdiMutex ndiMutexCreate(void)
{
    pthread_mutex_t* mutex = (pthread_mutex_t*)malloc(sizeof *mutex);
    if (mutex != NULL && pthread_mutex_init(mutex, NULL) != 0) {
        free(mutex);
        mutex = NULL;
    }
    return mutex;
}

void ndiMutexDestroy(NdiMutex mutex)
{
    if (mutex != NULL) {
        pthread_mutex_destroy(mutex);
        free(mutex);
    }
}

int ndiMutexLock(NdiMutex mutex) { return pthread_mutex_lock(mutex); }
int ndiMutexUnlock(NdiMutex mutex) { return pthread_mutex_unlock(mutex); }

NdiEvent ndiEventCreate(void)
{
    NdiEvent event = (NdiEvent)calloc(1, sizeof *event);
    if (event == NULL) {
        return NULL;
    }
    /* Waits are measured on the monotonic clock: setting the wall clock
     * must neither cut a wait short nor stretch it. */
    pthread_condattr_t attributes;
    int ok = pthread_condattr_init(&attributes) == 0;
    if (ok) {
        ok = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
             pthread_cond_init(&event->condition, &attributes) == 0;
        pthread_condattr_destroy(&attributes);
    }
    if (ok && pthread_mutex_init(&event->mutex, NULL) != 0) {
        pthread_cond_destroy(&event->condition);
        ok = 0;
    }
    if (!ok) {
        free(event);
        return NULL;
    }
    return event;
}

void ndiEventDestroy(NdiEvent event)
{
    if (event != NULL) {
        pthread_cond_destroy(&event->condition);
        pthread_mutex_destroy(&event->mutex);
        free(event);
    }
}

int ndiEventSignal(NdiEvent event)
{
    pthread_mutex_lock(&event->mutex);
    event->signalled = 1;
    int result = pthread_cond_signal(&event->condition);
    pthread_mutex_unlock(&event->mutex);
    return result;
}

int ndiEventWait(NdiEvent event, int milliseconds)
{
    pthread_mutex_lock(&event->mutex);
    if (milliseconds < 0) {
        while (!event->signalled) {
            pthread_cond_wait(&event->condition, &event->mutex);
        }
    } else {
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += milliseconds / 1000;
        deadline.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        while (!event->signalled) {
            if (pthread_cond_timedwait(&event->condition, &event->mutex, &deadline) == ETIMEDOUT &&
                !event->signalled) {
                pthread_mutex_unlock(&event->mutex);
                return 1;
            }
        }
    }
    event->signalled = 0;
    pthread_mutex_unlock(&event->mutex);
    return 0;
}

NdiThread ndiThreadSplit(void* (*function)(void*), void* argument)
{
    pthread_t thread;
    if (pthread_create(&thread, NULL, function, argument) != 0) {
        return (NdiThread)0;
    }
    return thread;
}

int ndiThreadJoin(NdiThread thread) { return pthread_join(thread, NULL); }

pthread_cond_t* ndiConditionCreate(void)
{
    pthread_cond_t* condition = (pthread_cond_t*)malloc(sizeof *condition);
    if (condition != NULL && pthread_cond_init(condition, NULL) != 0) {
        free(condition);
        condition = NULL;
    }
    return condition;
}

void ndiConditionDestroy(pthread_cond_t* condition)
{
    if (condition != NULL) {
        pthread_cond_destroy(condition);
        free(condition);
    }
}

int ndiConditionWait(pthread_cond_t* condition, NdiMutex mutex)
{
    return pthread_cond_wait(condition, mutex);
}

int ndiConditionWake(pthread_cond_t* condition) { return pthread_cond_signal(condition); }
