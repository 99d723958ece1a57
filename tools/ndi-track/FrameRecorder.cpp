#include "FrameRecorder.h"

#include "FramePrinter.h"

#include <ndirecording/Recording.h>

#include <Velantor/TrackingInstrumentFiducialsData.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace ndi_track {

namespace {

using namespace ndi_recording;

std::string isoUtc(std::int64_t ns)
{
    const std::time_t seconds = static_cast<std::time_t>(ns / 1000000000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%09lldZ", static_cast<long long>(ns % 1000000000));
    return text;
}

ToolState stateOf(const Velantor::TrackingInstrument& i)
{
    const std::string state = instrumentState(i);
    if (state == "ok") return ToolState::Ok;
    if (state == "disabled") return ToolState::Disabled;
    return ToolState::Missing;
}

RecordedFrame recorded(const Velantor::TrackingStreamData& data, std::uint64_t seq,
                       std::int64_t offsetNs)
{
    RecordedFrame f;
    f.seq = seq;
    f.offsetNs = offsetNs;
    f.stampMs = data.timestamp;
    f.mainId = data.mainInstrumentId;
    // Markers name their tool by the hash of its id; the recording names it
    // by the id itself, which a reader can use.
    std::map<std::uint64_t, std::string> owners;
    for (const auto& i : data.instruments) {
        RecordedInstrument r;
        r.id = i.id.ID();
        r.name = i.id.name();
        r.model = i.id.modelNumber();
        r.state = stateOf(i);
        r.active = i.active;
        r.status = i.status;
        r.quality = i.quality;
        r.stampMs = i.timestamp;
        for (int row = 0; row < 4; ++row)
            for (int column = 0; column < 4; ++column)
                r.matrix[static_cast<std::size_t>(4 * row + column)] = i.matrix(row, column);
        f.instruments.push_back(std::move(r));
        owners.emplace(std::hash<std::string>{}(i.id.ID()), i.id.ID());
    }
    const std::uint64_t stray = std::hash<std::string>{}(std::string());
    if (const auto* fiducials =
            data.components().get<Velantor::TrackingInstrumentFiducialsData>()) {
        const std::size_t n = std::min(fiducials->positions.size(), fiducials->keys.size());
        for (std::size_t k = 0; k < n; ++k) {
            RecordedMarker m;
            const std::uint64_t key = fiducials->keys[k];
            if (key != stray) {
                const auto owner = owners.find(key);
                // Not one of this frame's tools: the key is kept as it came.
                m.owner = owner != owners.end() ? owner->second : "#" + std::to_string(key);
            }
            const Eigen::Vector3d& p = fiducials->positions[k];
            m.position = {p.x(), p.y(), p.z()};
            f.markers.push_back(std::move(m));
        }
    }
    return f;
}

std::int64_t systemNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::unique_ptr<FrameRecorder> FrameRecorder::open(const TrackOptions& options,
                                                   std::function<void()> onFailure,
                                                   std::string* error)
{
    const int fd = ::open(options.record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error)
            *error = "cannot create the recording " + options.record + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<FrameRecorder>(new FrameRecorder(fd, options, std::move(onFailure)));
}

FrameRecorder::FrameRecorder(int fd, const TrackOptions& options, std::function<void()> onFailure)
    : m_fd(fd),
      m_path(options.record),
      m_options(options),
      m_onFailure(std::move(onFailure)),
      m_start(std::chrono::steady_clock::now()),
      m_startNs(systemNowNs()),
      m_thread([this] { writeAll(); })
{
}

FrameRecorder::~FrameRecorder() { finish(); }

void FrameRecorder::push(std::shared_ptr<const Velantor::TrackingStreamData> frame)
{
    // Timed on arrival: the gaps between frames are what a replay reproduces.
    const std::int64_t offset = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now() - m_start)
                                    .count();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finishing) return;
        m_queue.push_back({std::move(frame), offset});
    }
    m_changed.notify_one();
}

std::string FrameRecorder::headerFor(const Velantor::TrackingStreamData* first) const
{
    RecordingHeader h;
    h.family = familyName(m_options.family);
    h.device = m_options.device;
    if (m_options.family == Family::Vega) h.device += ":" + std::to_string(m_options.tcpPort);
    h.startNs = m_startNs;
    h.startUtc = isoUtc(m_startNs);
    if (first) {
        for (const auto& i : first->instruments)
            h.tools.push_back({i.id.ID(), i.id.name(), i.id.modelNumber(),
                               ndi_recording::auroraPortOfId(i.id.ID())});
    }
    for (const RomTarget& rom : m_options.roms)
        h.files.push_back({"rom", rom.name, rom.path, rom.port});
    for (const MarkerFile& marker : m_options.markers)
        h.files.push_back({"marker", marker.name, marker.path, 0});
    return headerLine(h);
}

bool FrameRecorder::writeText(const std::string& text)
{
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_error =
                "cannot write the recording " + m_path + ": " + std::strerror(n < 0 ? errno : EIO);
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

void FrameRecorder::writeAll()
{
    bool header = false;
    bool failed = false;
    std::uint64_t seq = 0;
    for (;;) {
        std::deque<Queued> batch;
        bool finishing = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [&] { return !m_queue.empty() || m_finishing; });
            batch.swap(m_queue);
            finishing = m_finishing;
        }
        // After a failure the frames are let go: they would only fill memory.
        if (!failed) {
            std::string text;
            for (const Queued& q : batch) {
                if (!header) text += headerFor(q.data.get());
                header = true;
                text += frameLine(recorded(*q.data, ++seq, q.offsetNs));
            }
            // A run without frames still leaves a recording that says what it was.
            if (finishing && !header) text += headerFor(nullptr);
            header = true;
            if (writeText(text)) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_written += batch.size();
            } else {
                failed = true;
                if (m_onFailure) m_onFailure();
            }
        }
        if (finishing) return;
    }
}

std::string FrameRecorder::finish()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return m_error;
        m_finishing = true;
    }
    m_changed.notify_one();
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    // Some file systems report a failed write only when the file is closed.
    if (::close(m_fd) != 0 && m_error.empty())
        m_error = "cannot write the recording " + m_path + ": " + std::strerror(errno);
    return m_error;
}

std::uint64_t FrameRecorder::written() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}

}  // namespace ndi_track
