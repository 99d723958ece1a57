#include "OperatingVolumeChoice.h"

#include "NDIStreamLog.h"
#include "StreamSettingKeys.h"

#include <Velantor/Stream.h>

#include <utility>

namespace Velantor {

std::vector<std::string> OperatingVolumeChoice::names() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> names;
    names.reserve(m_volumes.size());
    for (const NDIUtils::OperatingVolume& volume : m_volumes) names.push_back(volume.name);
    return names;
}

void OperatingVolumeChoice::setIndex(const Stream& stream, int index)
{
    if (index < 0) return;
    if (stream.isStateOneOf({Stream::Closed, Stream::Opening, Stream::Closing})) {
        m_index = index;
        return;
    }
    NDIStreamLog::text(
        Log::Error,
        "Max Range cannot be set when connection is established. Close connection first.");
}

bool OperatingVolumeChoice::query(NdiConnection* connection)
{
    std::vector<NDIUtils::OperatingVolume> volumes =
        NDIUtils::queryOperatingVolumes(connection, m_index);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_volumes = std::move(volumes);
    }
    return StreamSettingKeys::volumeIsOffered(m_index, names());
}

}  // namespace Velantor
