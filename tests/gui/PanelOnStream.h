#pragma once
// The panel made directly on a stream of the test's choosing, as the host
// would make it for the stream's algorithm, and a stream of the NDI kind
// whose hooks the test controls.
#include "PanelTestSupport.h"

#include <NDIInstrumentRegistry.h>
#include <NDITrackingController.h>
#include <NDITrackingStream.h>

#include <Velantor/Algorithm.h>
#include <Velantor/Stream.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

namespace paneltest {

// The algorithm the host would hand the panel: it owns one stream.
class OwningAlgorithm : public Velantor::StreamIoAlgorithm {
public:
    explicit OwningAlgorithm(std::unique_ptr<Velantor::Stream> stream) : m_stream(std::move(stream))
    {
    }
    void compute() override {}
    Velantor::Stream* stream() const override { return m_stream.get(); }
    void resetStream() override { m_stream.reset(); }

private:
    std::unique_ptr<Velantor::Stream> m_stream;
};

// An NDI stream without a device whose start and stop hooks can be made to
// throw, or to hold until the test lets them go.
class ControlledStream : public Velantor::NDITrackingStream {
public:
    ControlledStream() : NDITrackingStream("controlled stream")
    {
        setInstruments(std::make_unique<Velantor::NDIInstrumentRegistry>());
    }
    ~ControlledStream() override
    {
        release();
        closeAsync().wait();
    }

    std::atomic<bool> throwOnStart{false};
    std::atomic<bool> throwOnStop{false};
    std::atomic<bool> holdStart{false};
    std::atomic<bool> startEntered{false};
    std::atomic<bool> startFinished{false};

    // Lets a held start finish.
    void release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }

    bool openImpl() override { return true; }
    bool closeImpl() override { return true; }
    bool startImpl() override
    {
        startEntered = true;
        if (holdStart) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                               [&] { return m_released; });
        }
        startFinished = true;
        if (throwOnStart) throw std::runtime_error("lamp failure");
        return true;
    }
    bool stopImpl() override
    {
        if (throwOnStop) throw std::runtime_error("line dropped");
        return true;
    }
    WorkResult doWork() override
    {
        const auto next = std::chrono::system_clock::now() + std::chrono::milliseconds(5);
        return WorkResult(
            std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count());
    }
    int measurementRate() const override { return 0; }
    void setMeasurementRate(int) override {}

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_released = false;
};

template <class S>
struct Panel {
    explicit Panel(std::unique_ptr<S> owned)
        : stream(owned.get()), algorithm(std::move(owned)), panel(&algorithm)
    {
        panel.init();
        buttons = buttonsOf(panel);
    }
    // Declared in this order so that the panel goes before its stream.
    S* stream;
    OwningAlgorithm algorithm;
    Velantor::NDITrackingController panel;
    PanelButtons buttons;
};

inline const std::string kPanelCategory = "NDITrackingController";

}  // namespace paneltest
