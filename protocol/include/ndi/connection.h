/* The connection record's name, for the headers that only pass it around.
 * Declared here alone: C99 refuses a typedef seen twice. */
#ifndef NDI_CONNECTION_H
#define NDI_CONNECTION_H

typedef struct NdiConnection NdiConnection;

#endif
