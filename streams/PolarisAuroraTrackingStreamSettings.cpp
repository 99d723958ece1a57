// The stream's settings: the connection settings taken at the next open, the
// lists of tools to load, and the measurement-rate and tracking-volume
// choices.
#include "PolarisAuroraTrackingStream.h"

#include "NDIStreamLog.h"
#include "PolarisAuroraTrackingStreamImpl.h"

#include <utility>

namespace Velantor {

// ------------------------------------------------------ connection settings

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::setHardwareDevice(const std::string& device)
{
    std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
    m_impl->hardwareDevice = device;
}

template <NDISystemType Type>
std::string PolarisAuroraTrackingStream<Type>::hardwareDevice() const
{
    std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
    return m_impl->hardwareDevice;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::setHardwareIPPort(int port)
{
    m_impl->hardwareIPPort = port;
}

template <NDISystemType Type>
int PolarisAuroraTrackingStream<Type>::hardwareIPPort() const
{
    return m_impl->hardwareIPPort;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::setBinaryQueryMode(bool binary)
{
    m_impl->binaryQueryMode = binary;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::binaryQueryMode() const
{
    return m_impl->binaryQueryMode;
}

template <NDISystemType Type>
int PolarisAuroraTrackingStream<Type>::connectionType() const
{
    return m_impl->connectionType;
}

template <NDISystemType Type>
std::vector<NDITrackingInstrumentInfo> PolarisAuroraTrackingStream<Type>::trackingTargets() const
{
    std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
    return m_trackingTargets;
}

template <NDISystemType Type>
std::optional<std::string> PolarisAuroraTrackingStream<Type>::selectedInstrument() const
{
    std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
    return m_selectedInstrument;
}

// ------------------------------------------------ measurement rate, volume

template <NDISystemType Type>
std::vector<std::string> PolarisAuroraTrackingStream<Type>::measurementRateOptions() const
{
    std::vector<std::string> options;
    for (std::size_t i = 0; i < m_measurementRates.size() && i < 6; ++i)
        options.push_back(std::to_string(m_measurementRates[i]));
    return options;
}

template <NDISystemType Type>
int PolarisAuroraTrackingStream<Type>::measurementRate() const
{
    return m_impl->measurementRate;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::setMeasurementRate(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= m_measurementRates.size()) return;
    if (isStateOneOf({Closed, Opening, Closing})) {
        m_impl->measurementRate = index;
        return;
    }
    NDIStreamLog::text(
        Log::Error,
        "Measurement rate cannot be set when connection is established. Close connection first.");
}

template <NDISystemType Type>
std::vector<std::string> PolarisAuroraTrackingStream<Type>::maxRangeOptions() const
{
    return m_impl->volumes.names();
}

template <NDISystemType Type>
int PolarisAuroraTrackingStream<Type>::maxRange() const
{
    return m_impl->volumes.index();
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::setMaxRange(int index)
{
    m_impl->volumes.setIndex(*this, index);
}

#define NDI_INSTANTIATE_SETTINGS(Type)                                                            \
    template void PolarisAuroraTrackingStream<Type>::setHardwareDevice(const std::string&);       \
    template std::string PolarisAuroraTrackingStream<Type>::hardwareDevice() const;               \
    template void PolarisAuroraTrackingStream<Type>::setHardwareIPPort(int);                      \
    template int PolarisAuroraTrackingStream<Type>::hardwareIPPort() const;                       \
    template void PolarisAuroraTrackingStream<Type>::setBinaryQueryMode(bool);                    \
    template bool PolarisAuroraTrackingStream<Type>::binaryQueryMode() const;                     \
    template int PolarisAuroraTrackingStream<Type>::connectionType() const;                       \
    template std::vector<NDITrackingInstrumentInfo>                                               \
    PolarisAuroraTrackingStream<Type>::trackingTargets() const;                                   \
    template std::optional<std::string> PolarisAuroraTrackingStream<Type>::selectedInstrument()   \
        const;                                                                                    \
    template std::vector<std::string> PolarisAuroraTrackingStream<Type>::measurementRateOptions() \
        const;                                                                                    \
    template int PolarisAuroraTrackingStream<Type>::measurementRate() const;                      \
    template void PolarisAuroraTrackingStream<Type>::setMeasurementRate(int);                     \
    template std::vector<std::string> PolarisAuroraTrackingStream<Type>::maxRangeOptions() const; \
    template int PolarisAuroraTrackingStream<Type>::maxRange() const;                             \
    template void PolarisAuroraTrackingStream<Type>::setMaxRange(int);
NDI_INSTANTIATE_FOR_EVERY_FAMILY(NDI_INSTANTIATE_SETTINGS)

}  // namespace Velantor
