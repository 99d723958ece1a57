/* The TCP transport's reply read below its public function. */
#ifndef NDI_SOCKET_INTERNAL_H
#define NDI_SOCKET_INTERNAL_H

#ifdef __cplusplus
extern "C" {
#endif

/* One reply, as ndiSocketRead, except that the receive time-out gives 0 as
 * on a serial line: only a failure or the peer's close give -1. */
int ndiSocketReadReply(int s, char* buffer, int capacity, int binary);

#ifdef __cplusplus
}
#endif

#endif
