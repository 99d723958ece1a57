#pragma once
// The tracking volume a stream asks its system for: the index the user chose
// and the volumes the system reported at the last open. Kept apart from the
// connection, so that reading the choices never waits for device I/O (an
// open holds the connection for seconds).
#include "NDIUtils.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace Velantor {

class Stream;

class OperatingVolumeChoice {
public:
    // Names of the volumes reported at the last open.
    std::vector<std::string> names() const;
    int index() const { return m_index; }
    // Negative indices are ignored; a change while the connection is
    // established (any state of stream but closed, opening and closing) is
    // refused with an error.
    void setIndex(const Stream& stream, int index);
    // Reads the system's volumes and selects the chosen one; false (with the
    // choices logged) when the system reported volumes and the chosen one is
    // not among them.
    bool query(NdiConnection* connection);

private:
    std::atomic<int> m_index{0};
    mutable std::mutex m_mutex;
    std::vector<NDIUtils::OperatingVolume> m_volumes;
};

}  // namespace Velantor
