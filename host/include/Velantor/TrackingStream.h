#pragma once
// TrackingStream: a stream of tracking frames over a registry of
// instruments. The stream owns its registry; a derived stream installs its own
// (typed) registry in its constructor with setInstruments, which destroys the
// one held before. A TrackingStream starts with no registry: until one is
// installed, trackingInstruments() is null and frames carry no instruments.
#include <Velantor/Configurable.h>
#include <Velantor/Flags.h>
#include <Velantor/Stream.h>
#include <Velantor/ThreadSafeInstrumentsBase.h>
#include <Velantor/TrackingInstrument.h>
#include <Velantor/TrackingStreamData.h>

#include <memory>

namespace Velantor {

class TrackingStream : public Stream, public Configurable {
public:
    explicit TrackingStream(const std::string& name);
    ~TrackingStream() override;

    // Not synchronised with other users of the registry: call it before the
    // stream is shared (normally in the constructor).
    void setInstruments(std::unique_ptr<ThreadSafeInstrumentsBase> instruments);
    ThreadSafeInstrumentsBase* trackingInstruments() const { return m_instruments.get(); }

    // A new frame named after the stream, stamped with the current time and
    // holding a copy of every instrument (taken under the registry's lock).
    std::unique_ptr<TrackingStreamData> createTrackingStreamData() const;

    // Announces registry changes to the host: emits instrumentsChanged with the
    // flags, unless they are empty.
    void emitSignals(Flags<InstrumentModification> flags);

    SignalImpl<Flags<InstrumentModification>> instrumentsChanged;

private:
    std::unique_ptr<ThreadSafeInstrumentsBase> m_instruments;
};

}  // namespace Velantor
