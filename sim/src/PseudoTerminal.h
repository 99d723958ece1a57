#pragma once
// The device's end of a pseudo-terminal. The device holds the master; the
// host opens the slave like a serial port. A slave descriptor is kept open
// for the terminal's whole life so that the master never sees a hang-up
// while no host has the line open.
#include <ndisim/LineSettings.h>

#include <string>
#include <sys/types.h>

namespace ndisim {

class PseudoTerminal {
public:
    PseudoTerminal();  // throws std::runtime_error
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int master() const { return m_master; }
    const std::string& slaveName() const { return m_slaveName; }
    dev_t slaveDevice() const { return m_slaveDevice; }
    // The settings the host has given the line (Linux shares them between
    // both ends). nullopt-like: baud 0 when they cannot be read.
    LineSettings hostSettings() const;
    // Closes both ends: the host's reads and writes fail from now on.
    void hangUp();

private:
    int m_master = -1;
    int m_slaveHold = -1;
    std::string m_slaveName;
    dev_t m_slaveDevice = 0;
};

}  // namespace ndisim
