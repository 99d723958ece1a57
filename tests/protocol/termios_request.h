// A Linux pseudo-terminal keeps the speed, stop bits, odd parity and flow
// control it is given but forces eight data bits and no parity enable on
// every change. To check those two, tests read the settings that the code
// under test last asked for on this thread: linking termios_request.cpp
// passes every tcsetattr through to the kernel and keeps the request.
#pragma once

#include <termios.h>

namespace nditest {
const termios& lastTermiosRequest();
}
