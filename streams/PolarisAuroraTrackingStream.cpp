// Construction and destruction of the stream. Its other members are defined,
// by section, in the PolarisAuroraTrackingStream*.cpp files beside this one.
#include "PolarisAuroraTrackingStream.h"

#include "PolarisAuroraTrackingStreamImpl.h"

#include <ndi/protocol.h>

#include <memory>
#include <utility>

namespace Velantor {

template <NDISystemType Type>
PolarisAuroraTrackingStream<Type>::PolarisAuroraTrackingStream(const std::string& name)
    : NDITrackingStream(name),
      m_measurementRates(
          Type == NDIPolarisNetwork
              ? std::vector<int>{}
              : std::vector<int>{9600, 14400, 19200, 38400, 57600, 115200, 921600, 1228739}),
      m_impl(std::make_unique<Impl>())
{
    auto registry = std::make_unique<Registry>();
    m_instruments = registry.get();
    setInstruments(std::move(registry));
    m_impl->line.runner = std::make_unique<ConnectionRecovery>([this] { return attemptReconnect(); });
}

template <NDISystemType Type>
PolarisAuroraTrackingStream<Type>::~PolarisAuroraTrackingStream()
{
    closeAsync().wait();
    // Retries still running (the host could not close the stream) would use
    // what goes away below.
    abandonRecovery();
    // The host could not close it (its runner is gone): never leak the line.
    std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
    NdiConnection* connection = m_impl->connection;
    if (connection != nullptr) {
        m_impl->setConnection(nullptr);
        if (m_impl->connectionType == Serial)
            ndiCloseSerial(connection);
        else
            ndiCloseNetwork(connection);
    }
}

template class PolarisAuroraTrackingStream<NDIPolarisSerial>;
template class PolarisAuroraTrackingStream<NDIPolarisNetwork>;
template class PolarisAuroraTrackingStream<NDIAurora>;

}  // namespace Velantor
