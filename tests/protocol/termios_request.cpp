#include "termios_request.h"

#include <dlfcn.h>

namespace {
thread_local termios lastRequest;
}

extern "C" int tcsetattr(int fd, int actions, const termios* t) noexcept
{
    using Real = int (*)(int, int, const termios*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    lastRequest = *t;
    return real(fd, actions, t);
}

namespace nditest {
const termios& lastTermiosRequest() { return lastRequest; }
}  // namespace nditest
