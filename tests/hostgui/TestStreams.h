#pragma once
// Real streams for the widget tests: a tracking stream over the real
// instrument registry whose worker writes a pose chosen by the test into
// every instrument and emits a frame per pass, with settings shaped like a
// device stream's (a text with a label, a choice, a hidden list of targets),
// and the algorithm that owns it.
#include <ThreadSafeInstruments.h>
#include <Velantor/Algorithm.h>
#include <Velantor/OpticalTrackingInterface.h>
#include <Velantor/Properties.h>
#include <Velantor/StreamUtils.h>
#include <Velantor/TrackingStream.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

class PoseStream : public Velantor::TrackingStream, public Velantor::OpticalTrackingInterface {
public:
    using Registry = Velantor::ThreadSafeInstruments<int>;

    PoseStream() : TrackingStream("pose stream")
    {
        auto registry = std::make_unique<Registry>();
        m_registry = registry.get();
        setInstruments(std::move(registry));
    }
    ~PoseStream() override { closeAsync().wait(); }

    Registry& registry() { return *m_registry; }

    // Pose written by the worker; quality 0 means "not tracked".
    std::atomic<double> x{0}, y{0}, z{0}, quality{1.0};

    bool openImpl() override { return true; }
    bool closeImpl() override { return true; }
    bool startImpl() override { return true; }
    bool stopImpl() override { return true; }
    WorkResult doWork() override
    {
        const auto begin = std::chrono::system_clock::now();
        const double q = quality, px = x, py = y, pz = z;
        m_registry->modifyAll([&](const std::string&, Velantor::TrackingInstrument& t) {
            t.matrix.setIdentity();
            t.matrix(0, 3) = px;
            t.matrix(1, 3) = py;
            t.matrix(2, 3) = pz;
            t.quality = q;
        });
        dataSignal.emitSignal(
            std::shared_ptr<const Velantor::StreamData>(createTrackingStreamData()));
        const auto next = begin + std::chrono::milliseconds(2);
        return WorkResult(
            std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count());
    }

    // Settings: "hardwareDevice" (a text the stream cleans: "bad" becomes "";
    // "throw" makes configure throw),
    // "maxRange" (a choice), "TrackingTargets" (hidden). Every block passed to
    // configure is recorded.
    void configure(const Velantor::Properties* p) override
    {
        if (!p) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        configured.push_back(*p);
        std::string device;
        if (p->param("hardwareDevice", device) && device == "throw")
            throw std::runtime_error("refused");
        if (p->param("hardwareDevice", device)) m_device = device == "bad" ? std::string() : device;
        p->param("maxRange", m_maxRange);
        if (const Velantor::Properties* targets = p->subProperties("TrackingTargets"))
            m_targets = *targets;
    }
    void configuration(Velantor::Properties* p) const override
    {
        if (!p) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        p->setParam("hardwareDevice", m_device);
        p->setParamAttributes("hardwareDevice",
                              {{"label", "COM port"}, {"tooltip", "Auto-detect upon open"}});
        p->setParam("maxRange", m_maxRange);
        p->setParamType("maxRange", Velantor::PropertiesDetail::EnumIndex);
        p->setParamAttributes("maxRange", {{"values", "Small, Large"}});
        Velantor::Properties& targets = p->addSubProperties("TrackingTargets");
        targets.copyFrom(m_targets);
        targets.setAttributes({{"hidden", "true"}});
    }
    std::vector<Velantor::Properties> configuredBlocks() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return configured;
    }

    // Markers become instruments named after them.
    int capabilities() const override { return MarkerTracking; }
    using OpticalTrackingInterface::addTrackingMarker;
    std::string addTrackingMarker(std::unique_ptr<Velantor::OpticalTrackingMarker> marker) override
    {
        if (!marker || currentState() != Closed) return std::string();
        const std::string id = "marker" + std::to_string(m_nextMarker++);
        emitSignals(m_registry->create(Velantor::TrackerID(id, "", marker->name()),
                                       std::make_unique<int>(0)));
        return id;
    }
    std::unique_ptr<Velantor::OpticalTrackingMarker> trackingMarker(
        const std::string&) const override
    {
        return nullptr;
    }
    bool removeTrackingMarker(const std::string& id) override
    {
        const auto flags = m_registry->remove(id);
        emitSignals(flags);
        return !flags.empty();
    }

private:
    Registry* m_registry = nullptr;
    mutable std::mutex m_mutex;
    std::vector<Velantor::Properties> configured;
    std::string m_device = "auto";
    int m_maxRange = 0;
    Velantor::Properties m_targets;
    int m_nextMarker = 0;
};

class PoseAlgorithm : public Velantor::StreamIoAlgorithm {
public:
    void compute() override
    {
        if (!m_stream) m_stream = std::make_unique<PoseStream>();
    }
    Velantor::Stream* stream() const override { return m_stream.get(); }
    void resetStream() override { m_stream.reset(); }
    PoseStream* poseStream() const { return m_stream.get(); }

private:
    std::unique_ptr<PoseStream> m_stream;
};
