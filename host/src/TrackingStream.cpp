#include <Velantor/StreamUtils.h>
#include <Velantor/TrackingStream.h>

namespace Velantor {

TrackingStream::TrackingStream(const std::string& name) : Stream(name) {}

TrackingStream::~TrackingStream() = default;

void TrackingStream::setInstruments(std::unique_ptr<ThreadSafeInstrumentsBase> instruments)
{
    m_instruments = std::move(instruments);
}

std::unique_ptr<TrackingStreamData> TrackingStream::createTrackingStreamData() const
{
    auto data = std::make_unique<TrackingStreamData>(name());
    data->timestamp = StreamUtils::systemTimeMs();
    if (m_instruments) {
        data->instruments = m_instruments->instruments();
        data->mainInstrumentId = m_instruments->mainId();
    }
    return data;
}

void TrackingStream::emitSignals(Flags<InstrumentModification> flags)
{
    if (flags.empty()) return;
    instrumentsChanged.emitSignal(flags);
}

}  // namespace Velantor
