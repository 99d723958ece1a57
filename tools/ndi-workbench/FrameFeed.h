#pragma once
// The newest frame of a stream, kept for the user-interface thread. Frames
// arrive on the stream's worker thread at up to a few hundred a second; the
// view looks a few times a second and wants only the latest, so the worker
// never waits for the view and the view never touches the stream.
#include <Velantor/Stream.h>
#include <Velantor/TrackingStreamData.h>

#include <cstdint>
#include <memory>
#include <mutex>

namespace workbench {

class FrameFeed {
public:
    explicit FrameFeed(Velantor::Stream& stream);
    // Disconnects, waiting for a delivery in progress: the stream must still exist.
    ~FrameFeed();
    FrameFeed(const FrameFeed&) = delete;
    FrameFeed& operator=(const FrameFeed&) = delete;

    // The newest tracking frame that arrived since the last call, or null.
    std::shared_ptr<const Velantor::TrackingStreamData> takeLatest();
    // Tracking frames received so far.
    std::uint64_t count() const;

private:
    Velantor::Stream& m_stream;
    mutable std::mutex m_mutex;
    std::shared_ptr<const Velantor::TrackingStreamData> m_latest;
    std::uint64_t m_count = 0;
};

}  // namespace workbench
