#pragma once
// ndi-track --record: every frame the stream delivers, written losslessly to a
// recording (tools/recording) by a thread of its own. The stream's data
// signal only queues, so a slow disk never holds up a tracking pass, and no
// frame is dropped: the queue grows in memory while the disk lags.
#include "TrackOptions.h"

#include <Velantor/TrackingStreamData.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ndi_track {

class FrameRecorder {
public:
    // Creates (or empties) the file; null and *error when it cannot.
    // onFailure runs once, on the recorder's thread, when a write fails.
    static std::unique_ptr<FrameRecorder> open(const TrackOptions& options,
                                               std::function<void()> onFailure, std::string* error);
    ~FrameRecorder();
    FrameRecorder(const FrameRecorder&) = delete;
    FrameRecorder& operator=(const FrameRecorder&) = delete;

    // From the stream's data signal: queues and returns.
    void push(std::shared_ptr<const Velantor::TrackingStreamData> frame);
    // Writes what is queued and closes the file. Empty, or what went wrong.
    std::string finish();
    std::uint64_t written() const;

private:
    struct Queued {
        std::shared_ptr<const Velantor::TrackingStreamData> data;
        std::int64_t offsetNs = 0;
    };

    FrameRecorder(int fd, const TrackOptions& options, std::function<void()> onFailure);
    void writeAll();
    bool writeText(const std::string& text);
    std::string headerFor(const Velantor::TrackingStreamData* first) const;

    const int m_fd;
    const std::string m_path;
    const TrackOptions m_options;
    const std::function<void()> m_onFailure;
    const std::chrono::steady_clock::time_point m_start;
    const std::int64_t m_startNs;  // system clock at m_start

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Queued> m_queue;
    bool m_finishing = false;
    bool m_closed = false;
    std::string m_error;
    std::uint64_t m_written = 0;
    std::thread m_thread;  // last: starts once the rest is set up
};

}  // namespace ndi_track
