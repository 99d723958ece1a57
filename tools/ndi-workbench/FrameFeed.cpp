#include "FrameFeed.h"

#include <utility>

namespace workbench {

FrameFeed::FrameFeed(Velantor::Stream& stream) : m_stream(stream)
{
    m_stream.dataSignal.connect(this, [this](std::shared_ptr<const Velantor::StreamData> data) {
        auto frame = std::dynamic_pointer_cast<const Velantor::TrackingStreamData>(std::move(data));
        if (!frame) return;
        std::shared_ptr<const Velantor::TrackingStreamData> replaced;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_count;
            replaced = std::exchange(m_latest, std::move(frame));
        }
        // The frame replaced may be the last reference: freed outside the lock.
    });
}

FrameFeed::~FrameFeed() { m_stream.dataSignal.disconnect(this); }

std::shared_ptr<const Velantor::TrackingStreamData> FrameFeed::takeLatest()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_latest, nullptr);
}

std::uint64_t FrameFeed::count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

}  // namespace workbench
