#pragma once
// INIT, the first command of every session: the system answers nothing else
// until it has been initialised.
#include <ndi/connection.h>

namespace Velantor {

// Sends INIT and reports whether the system confirmed it; a failure is
// logged, and an open that went on would only look successful.
bool initializeDevice(NdiConnection* connection);

// The same over TCP, where INIT's reply may take seconds: waits up to five
// for it, then sets the short time-out every later reply is held to.
bool initializeNetworkDevice(NdiConnection* connection);

}  // namespace Velantor
