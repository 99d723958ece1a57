/* The TCP transport's reply read below its public function. */
#ifndef NDI_SOCKET_INTERNAL_H
#define NDI_SOCKET_INTERNAL_H

#ifdef __cplusplus
extern "C" {
#endif

/* One reply, as ndiSocketRead, except that the time-out gives 0 as on a
 * serial line: only a failure or the peer's close give -1. The receive
 * time-out bounds the whole reply, not each receive. */
int ndiSocketReadReply(int s, char* buffer, int capacity, int binary);

/* How long the socket gives a reply: its receive time-out, or
 * NDI_DEFAULT_REPLY_TIMEOUT_MS when none was set. */
int ndiSocketReplyTimeout(int s);

#ifdef __cplusplus
}
#endif

#endif
