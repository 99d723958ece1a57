#include "PseudoTerminal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace ndisim {

namespace {

long speedOf(speed_t s)
{
    switch (s) {
    case B0: return 0;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return -1;  // a speed the device never uses
    }
}

}  // namespace

PseudoTerminal::PseudoTerminal()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        throw std::runtime_error(std::string("cannot open a pseudo-terminal: ") +
                                 std::strerror(errno));
    char name[128];
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, name, sizeof name) != 0) {
        const int e = errno;
        ::close(m_master);
        throw std::runtime_error(std::string("cannot set up the pseudo-terminal: ") +
                                 std::strerror(e));
    }
    m_slaveName = name;
    m_slaveHold = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (m_slaveHold < 0 || fstat(m_slaveHold, &st) != 0) {
        const int e = errno;
        hangUp();
        throw std::runtime_error(std::string("cannot open the pseudo-terminal's slave: ") +
                                 std::strerror(e));
    }
    m_slaveDevice = st.st_rdev;
    // A power-on line: raw bytes, 9600 baud, 8N1.
    termios t{};
    if (tcgetattr(m_slaveHold, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(m_slaveHold, TCSANOW, &t);
    }
    const int flags = fcntl(m_master, F_GETFL);
    fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
}

PseudoTerminal::~PseudoTerminal() { hangUp(); }

void PseudoTerminal::hangUp()
{
    if (m_master >= 0) ::close(m_master);
    if (m_slaveHold >= 0) ::close(m_slaveHold);
    m_master = -1;
    m_slaveHold = -1;
}

LineSettings PseudoTerminal::hostSettings() const
{
    LineSettings s;
    termios t{};
    if (m_master < 0 || tcgetattr(m_master, &t) != 0) {
        s.baud = 0;
        return s;
    }
    s.baud = speedOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5: s.dataBits = 5; break;
    case CS6: s.dataBits = 6; break;
    case CS7: s.dataBits = 7; break;
    default: s.dataBits = 8; break;
    }
    s.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 'O' : 'E') : 'N';
    s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    s.handshake = (t.c_cflag & CRTSCTS) != 0;
    return s;
}

}  // namespace ndisim
