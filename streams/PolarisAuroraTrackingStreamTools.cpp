// The stream's tools: the list registered to be loaded, and the set-up that
// fills the registry at open, wired tools discovered on an electromagnetic
// system or registered tools loaded into an optical one.
#include "PolarisAuroraTrackingStream.h"

#include "NDIStreamLog.h"
#include "OpticalToolLoader.h"
#include "PolarisAuroraTrackingStreamImpl.h"
#include "WiredToolDiscovery.h"

#include <utility>

namespace Velantor {

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::registerTool(const NDITrackingInstrumentInfo& info)
{
    {
        std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
        m_trackingTargets.push_back(info);
    }
    NDIStreamLog::log(Log::Info, [&] {
        return "Instrument " + info.name +
               " registered to instrument list. Instrument will be loaded when opening stream.";
    });
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::storeTargetHandle(std::size_t index, int portHandle)
{
    // Tools may only have been appended meanwhile, so the index still names
    // the same target.
    std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
    if (index < m_trackingTargets.size()) m_trackingTargets[index].portHandle = portHandle;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::announce(Flags<InstrumentModification> flags)
{
    if (m_impl->deferAnnouncements)
        m_impl->pendingAnnouncements |= flags;
    else
        emitSignals(flags);
}

template <NDISystemType Type>
std::optional<std::string> PolarisAuroraTrackingStream<Type>::takeSelectedInstrument()
{
    std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
    std::optional<std::string> selected = std::move(m_selectedInstrument);
    m_selectedInstrument.reset();
    return selected;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::initializeOpticalTools()
{
    NdiConnection* connection = m_impl->connection;
    Flags<InstrumentModification> flags = m_instruments->clear();
    if (connection == nullptr) {
        announce(flags);
        return;
    }

    OpticalToolLoader loader(connection, *m_instruments);
    OpticalToolLoader::freeStaleHandles(connection);
    flags |= loader.loadTargets(trackingTargets(), [this](std::size_t index, int portHandle) {
        storeTargetHandle(index, portHandle);
    });

    const std::optional<std::string> selected = takeSelectedInstrument();
    if (m_instruments->size() > 0 && selected && !selected->empty())
        flags |= m_instruments->setMainById(*selected);

    if (m_instruments->size() == 0) {
        // No tool of our own: a placeholder still makes the system report the
        // stray markers.
        const int placeholder = OpticalToolLoader::loadPlaceholder(connection);
        if (placeholder >= 0) m_impl->dummyToolHandle = placeholder;
    }

    announce(flags);
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::queryTools()
{
    Flags<InstrumentModification> flags = discoverWiredTools(
        m_impl->connection, *m_instruments, trackingTargets(),
        [this](std::size_t index, int portHandle) { storeTargetHandle(index, portHandle); });
    if (m_impl->connection == nullptr) {
        announce(flags);
        return;
    }

    const std::optional<std::string> selected = takeSelectedInstrument();
    if (selected && !selected->empty()) flags |= m_instruments->setMainById(*selected);
    announce(flags);
}

#define NDI_INSTANTIATE_TOOLS(Type)                                                           \
    template void PolarisAuroraTrackingStream<Type>::registerTool(                            \
        const NDITrackingInstrumentInfo&);                                                    \
    template void PolarisAuroraTrackingStream<Type>::storeTargetHandle(std::size_t, int);     \
    template void PolarisAuroraTrackingStream<Type>::announce(Flags<InstrumentModification>); \
    template std::optional<std::string>                                                       \
    PolarisAuroraTrackingStream<Type>::takeSelectedInstrument();                              \
    template void PolarisAuroraTrackingStream<Type>::initializeOpticalTools();                \
    template void PolarisAuroraTrackingStream<Type>::queryTools();
NDI_INSTANTIATE_FOR_EVERY_FAMILY(NDI_INSTANTIATE_TOOLS)

}  // namespace Velantor
