// A stream whose line breaks while it tracks gets its device back by itself:
// one warning, the same instruments, frames again after the gap and never a
// frame from before it; none of that with the setting off; and stop and
// close stay prompt while the device is gone or hangs.
#include "StreamTestSupport.h"

#include <NDIPolarisTrackingStream.h>

#include <Velantor/Properties.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>

using namespace streamtest;
using Velantor::Log;
using Velantor::LogCapture;
using MarkerStream = Velantor::NDIPolarisTrackingStream;

namespace {

enum class Kind { AuroraSerial, CameraTcp, MarkerTcp };

const char* describe(Kind kind)
{
    switch (kind) {
    case Kind::AuroraSerial: return "Aurora camera stream on a serial line";
    case Kind::CameraTcp: return "Vega camera stream over TCP";
    case Kind::MarkerTcp: return "marker stream over TCP";
    }
    return "";
}

constexpr Kind kKinds[] = {Kind::AuroraSerial, Kind::CameraTcp, Kind::MarkerTcp};

// A stream of one kind on a simulated device whose link drops after
// `disconnectAfterFrames` tracking replies.
struct Rig {
    Rig(Kind k, int disconnectAfterFrames) : kind(k)
    {
        ndisim::Scenario scenario = ndisim::defaultScenario(
            kind == Kind::AuroraSerial ? ndisim::Family::Aurora : ndisim::Family::Vega);
        scenario.faults.disconnectAfterFrames = disconnectAfterFrames;
        if (kind == Kind::AuroraSerial) {
            link = "/tmp/ndi-recovery-test-" + std::to_string(::getpid()) + "-line";
            sim = ndisim::Simulator::serial(scenario, link);
            liveSim = sim.get();
            device = link;
            auto aurora = std::make_unique<AuroraStream>("Recovering");
            aurora->setHardwareDevice(link);
            setAutoReconnect = [s = aurora.get()](bool on) { s->setAutoReconnect(on); };
            handles = [s = aurora.get()] { return handlesById(*s); };
            stream = std::move(aurora);
            return;
        }
        sim = ndisim::Simulator::tcp(scenario, "127.0.0.1", 0);
        liveSim = sim.get();
        device = "127.0.0.1:" + std::to_string(sim->tcpPort());
        const ndisim::ToolDescription& tool = sim->scenario().tools[1];
        rom = std::make_unique<TempFile>("recovery-tool.rom",
                                         romImage(tool.partNumber, tool.markers));
        if (kind == Kind::CameraTcp) {
            auto vega = std::make_unique<VegaStream>("Recovering");
            vega->setHardwareDevice("127.0.0.1");
            vega->setHardwareIPPort(sim->tcpPort());
            vega->registerTool(target("Tool", rom->path(), 1));
            setAutoReconnect = [s = vega.get()](bool on) { s->setAutoReconnect(on); };
            handles = [s = vega.get()] { return handlesById(*s); };
            stream = std::move(vega);
            return;
        }
        auto markers = std::make_unique<MarkerStream>("Recovering");
        markers->setHardwareDevice("127.0.0.1");
        markers->setHardwareIPPort(sim->tcpPort());
        markers->addTrackingMarker(rom->path(), "Tool");
        setAutoReconnect = [s = markers.get()](bool on) { s->setAutoReconnect(on); };
        handles = [s = markers.get()] {
            std::map<std::string, int> byId;
            s->instrumentRegistry()->modifyAll(MarkerStream::Registry::SpecialFunction(
                [&](const std::string& id, MarkerStream::ToolData& data) {
                    byId[id] = data.portHandle;
                }));
            return byId;
        };
        stream = std::move(markers);
    }

    const std::string& category() const
    {
        static const std::string camera = "NDI";
        static const std::string marker = "NDI.NDIPolarisTrackingStream";
        return kind == Kind::MarkerTcp ? marker : camera;
    }
    std::string lostMessage() const { return "connection to " + device + " lost; reconnecting"; }

    std::vector<std::string> instrumentIds() const
    {
        std::vector<std::string> ids;
        for (const auto& i : stream->trackingInstruments()->instruments()) ids.push_back(i.id.ID());
        return ids;
    }

    // The device comes back as a new simulator at the same link or port.
    void replugDevice(int port)
    {
        const ndisim::Scenario scenario = ndisim::defaultScenario(
            kind == Kind::AuroraSerial ? ndisim::Family::Aurora : ndisim::Family::Vega);
        retired.push_back(std::move(sim));
        sim = kind == Kind::AuroraSerial ? ndisim::Simulator::serial(scenario, link)
                                         : ndisim::Simulator::tcp(scenario, "127.0.0.1", port);
        liveSim = sim.get();
    }

    Kind kind;
    std::string link;
    std::string device;
    std::unique_ptr<ndisim::Simulator> sim;
    // What frame handlers compare with: published to the stream's threads.
    std::atomic<ndisim::Simulator*> liveSim{nullptr};
    std::vector<std::unique_ptr<ndisim::Simulator>> retired;
    std::unique_ptr<TempFile> rom;
    std::unique_ptr<Velantor::TrackingStream> stream;
    std::function<void(bool)> setAutoReconnect;
    std::function<std::map<std::string, int>()> handles;
};

// Every frame the stream delivers, matched at once (the device of before the
// gap may be gone afterwards) against the device frame it must be, with the
// side of the gap it came on; and every reconnecting change.
class GapRecorder {
public:
    explicit GapRecorder(Rig& rig) : m_rig(rig)
    {
        m_data = rig.stream->dataSignal.connect(
            this, [this](std::shared_ptr<const Velantor::StreamData> data) { onFrame(data); });
        m_changes = rig.stream->ReconnectingChange.connect(this, [this](bool on) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(on);
        });
    }
    ~GapRecorder()
    {
        m_rig.stream->dataSignal.disconnect(m_data);
        m_rig.stream->ReconnectingChange.disconnect(m_changes);
    }

    struct Delivered {
        std::size_t side = 0;  // reconnections seen before it
        std::optional<std::uint32_t> frame;
        std::string why;
    };

    std::vector<Delivered> delivered() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_delivered;
    }
    std::vector<bool> events() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    std::size_t deliveredOnSide(std::size_t side) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::size_t n = 0;
        for (const Delivered& d : m_delivered) n += d.side == side ? 1 : 0;
        return n;
    }

private:
    void onFrame(const std::shared_ptr<const Velantor::StreamData>& data)
    {
        const auto frame = std::dynamic_pointer_cast<const Velantor::TrackingStreamData>(data);
        Delivered d;
        const ndisim::Simulator& sim = *m_rig.liveSim.load();
        const std::uint32_t newest = sim.currentFrame();
        const std::map<std::string, int> handles = m_rig.handles();
        for (std::uint32_t f = newest; f + 200 > newest && f > 0; --f) {
            if (frameMatches(sim, *frame, handles, f, true, &d.why)) {
                d.frame = f;
                break;
            }
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        for (bool on : m_events) d.side += on ? 0 : 1;
        m_delivered.push_back(d);
    }

    Rig& m_rig;
    Velantor::SignalImpl<std::shared_ptr<const Velantor::StreamData>>::ConnectionId m_data = 0;
    Velantor::SignalImpl<bool>::ConnectionId m_changes = 0;
    mutable std::mutex m_mutex;
    std::vector<Delivered> m_delivered;
    std::vector<bool> m_events;
};

// A peer that takes the host's connection or bytes and never answers: the
// device hangs where the stream looks for it again.
class SilentPeer {
public:
    // On the serial link path: a terminal nobody answers on.
    static std::unique_ptr<SilentPeer> terminalAt(const std::string& link)
    {
        auto peer = std::unique_ptr<SilentPeer>(new SilentPeer);
        peer->m_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (peer->m_fd < 0 || ::grantpt(peer->m_fd) != 0 || ::unlockpt(peer->m_fd) != 0)
            throw std::runtime_error("no pseudo-terminal");
        ::unlink(link.c_str());
        if (::symlink(::ptsname(peer->m_fd), link.c_str()) != 0)
            throw std::runtime_error("cannot link " + link);
        peer->m_link = link;
        return peer;
    }
    // On the loopback port: connections complete in the backlog, unanswered.
    static std::unique_ptr<SilentPeer> listenerAt(int port)
    {
        auto peer = std::unique_ptr<SilentPeer>(new SilentPeer);
        peer->m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(peer->m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(peer->m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(peer->m_fd, 8) != 0)
            throw std::runtime_error("cannot listen on port " + std::to_string(port));
        return peer;
    }
    ~SilentPeer()
    {
        if (!m_link.empty()) ::unlink(m_link.c_str());
        if (m_fd >= 0) ::close(m_fd);
    }
    // The host reached it: a connection waits, or bytes came.
    bool reached() const
    {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
    }

private:
    SilentPeer() = default;
    int m_fd = -1;
    std::string m_link;
};

}  // namespace

TEST(StreamRecovery, TracksOnByItselfAfterTheLinkDrops)
{
    for (Kind kind : kKinds) {
        SCOPED_TRACE(describe(kind));
        LogCapture log(true);
        Rig rig(kind, 30);
        GapRecorder recorder(rig);
        ASSERT_TRUE(rig.stream->openAsync().get());
        const std::vector<std::string> idsBefore = rig.instrumentIds();
        ASSERT_FALSE(idsBefore.empty());
        ASSERT_TRUE(rig.stream->startAsync().get());

        ASSERT_TRUE(eventually([&] { return recorder.deliveredOnSide(1) >= 20; }))
            << "no frames after the gap";
        EXPECT_EQ(recorder.events(), (std::vector<bool>{true, false}));
        EXPECT_FALSE(rig.stream->reconnecting());
        EXPECT_EQ(log.count(Log::Warning, rig.category(), rig.lostMessage()), 1u);
        std::size_t reconnected = 0;
        for (const Velantor::LogRecord& r : log.records())
            if (r.level == Log::Info && r.category == rig.category() &&
                r.message.rfind("reconnected after ", 0) == 0 && r.message.size() > 20 &&
                r.message.compare(r.message.size() - 2, 2, " s") == 0)
                ++reconnected;
        EXPECT_EQ(reconnected, 1u);
        EXPECT_EQ(rig.instrumentIds(), idsBefore);
        for (const auto& [id, handle] : rig.handles()) EXPECT_GE(handle, 0) << id;

        const auto delivered = recorder.delivered();
        std::optional<std::uint32_t> previous;
        std::size_t side = 0;
        for (std::size_t i = 0; i < delivered.size(); ++i) {
            const auto& d = delivered[i];
            ASSERT_TRUE(d.frame.has_value()) << "frame " << i << ": " << d.why;
            if (d.side != side) previous.reset();
            side = d.side;
            if (previous) {
                EXPECT_GT(*d.frame, *previous) << "frame " << i << " came twice or late";
            }
            previous = d.frame;
        }
        EXPECT_GT(recorder.deliveredOnSide(0), 0u);
        EXPECT_LE(recorder.deliveredOnSide(0), 30u);
        EXPECT_TRUE(rig.stream->closeAsync().get());
    }
}

TEST(StreamRecovery, WithTheSettingOffALostLinkIsOnlyReported)
{
    for (Kind kind : kKinds) {
        SCOPED_TRACE(describe(kind));
        LogCapture log(true);
        Rig rig(kind, 30);
        rig.setAutoReconnect(false);
        GapRecorder recorder(rig);
        ASSERT_TRUE(rig.stream->openAsync().get());
        ASSERT_TRUE(rig.stream->startAsync().get());
        // Far more failed passes than recovery would wait for.
        const std::string failure = "NDI Tracking System Error in stream 'Recovering': ";
        ASSERT_TRUE(eventually([&] {
            std::size_t n = 0;
            for (const Velantor::LogRecord& r : log.records())
                n += r.level == Log::Error && r.message.rfind(failure, 0) == 0 ? 1 : 0;
            return n >= 200;
        }));
        EXPECT_EQ(rig.stream->currentState(), Velantor::Stream::Running);
        EXPECT_FALSE(rig.stream->reconnecting());
        EXPECT_TRUE(recorder.events().empty());
        EXPECT_EQ(log.count(Log::Warning, rig.category(), rig.lostMessage()), 0u);
        EXPECT_EQ(recorder.deliveredOnSide(0), recorder.delivered().size());
        EXPECT_LE(recorder.delivered().size(), 30u);
        EXPECT_TRUE(rig.stream->closeAsync().get());
    }
}

// The device hangs where the stream looks for it again (a terminal or a
// listener that never answers): the stop or close that comes while an
// attempt waits for it must not wait with it.
TEST(StreamRecovery, StopAndCloseDuringRetriesArePrompt)
{
    struct Case {
        Kind kind;
        bool stopFirst;
    };
    const Case cases[] = {{Kind::AuroraSerial, true},
                          {Kind::CameraTcp, true},
                          {Kind::MarkerTcp, true},
                          {Kind::AuroraSerial, false},
                          {Kind::MarkerTcp, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(describe(c.kind)) + (c.stopFirst ? ", stop" : ", close"));
        LogCapture log(true);
        Rig rig(c.kind, 0);
        GapRecorder recorder(rig);
        ASSERT_TRUE(rig.stream->openAsync().get());
        ASSERT_TRUE(rig.stream->startAsync().get());
        ASSERT_TRUE(eventually([&] { return recorder.deliveredOnSide(0) >= 5; }));
        const int port = rig.sim->tcpPort();
        rig.sim->stop();
        ASSERT_TRUE(eventually([&] { return rig.stream->reconnecting(); }));
        const std::unique_ptr<SilentPeer> peer = c.kind == Kind::AuroraSerial
                                                     ? SilentPeer::terminalAt(rig.link)
                                                     : SilentPeer::listenerAt(port);
        ASSERT_TRUE(eventually([&] { return peer->reached(); }));

        const auto start = std::chrono::steady_clock::now();
        const auto request = c.stopFirst ? rig.stream->stopAsync() : rig.stream->closeAsync();
        // Only a hang guard: the time is printed, not judged.
        ASSERT_EQ(request.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("[ %s ] %s returned after %.3f s\n", describe(c.kind),
                    c.stopFirst ? "stop" : "close", seconds);
        EXPECT_TRUE(request.get());
        EXPECT_FALSE(rig.stream->reconnecting());
        EXPECT_EQ(recorder.events(), (std::vector<bool>{true, false}));
        EXPECT_TRUE(rig.stream->closeAsync().get());
    }
}

// Stopped while its device was gone, a stream looks for it again when it is
// started again, and tracks on once the device is back.
TEST(StreamRecovery, StartAfterAStopDuringTheGapLooksForTheDeviceAgain)
{
    for (Kind kind : {Kind::AuroraSerial, Kind::MarkerTcp}) {
        SCOPED_TRACE(describe(kind));
        LogCapture log(true);
        Rig rig(kind, 0);
        GapRecorder recorder(rig);
        ASSERT_TRUE(rig.stream->openAsync().get());
        const std::vector<std::string> ids = rig.instrumentIds();
        ASSERT_TRUE(rig.stream->startAsync().get());
        ASSERT_TRUE(eventually([&] { return recorder.deliveredOnSide(0) >= 5; }));
        const int port = rig.sim->tcpPort();
        rig.sim->stop();
        ASSERT_TRUE(eventually([&] { return rig.stream->reconnecting(); }));

        ASSERT_TRUE(rig.stream->stopAsync().get());
        EXPECT_FALSE(rig.stream->reconnecting());
        ASSERT_TRUE(rig.stream->startAsync().get());
        EXPECT_TRUE(rig.stream->reconnecting());
        rig.replugDevice(port);
        // Frames after the stop's give-up and the reconnection.
        ASSERT_TRUE(eventually([&] { return recorder.deliveredOnSide(2) >= 10; }));
        EXPECT_EQ(recorder.events(), (std::vector<bool>{true, false, true, false}));
        EXPECT_EQ(recorder.deliveredOnSide(1), 0u) << "frames while the device was gone";
        for (const auto& d : recorder.delivered()) EXPECT_TRUE(d.frame.has_value()) << d.why;
        EXPECT_EQ(rig.instrumentIds(), ids);
        EXPECT_EQ(log.count(Log::Warning, rig.category(), rig.lostMessage()), 1u);
        EXPECT_TRUE(rig.stream->closeAsync().get());
    }
}

// The setting is on by default, read from and written to the configuration
// of both stream families, and kept when the key is absent.
TEST(StreamRecovery, TheSettingTravelsWithTheConfiguration)
{
    for (Kind kind : {Kind::AuroraSerial, Kind::MarkerTcp}) {
        SCOPED_TRACE(describe(kind));
        std::unique_ptr<Velantor::TrackingStream> stream;
        std::function<bool()> setting;
        if (kind == Kind::AuroraSerial) {
            auto aurora = std::make_unique<AuroraStream>("Configured");
            setting = [s = aurora.get()] { return s->autoReconnect(); };
            stream = std::move(aurora);
        } else {
            auto markers = std::make_unique<MarkerStream>("Configured");
            setting = [s = markers.get()] { return s->autoReconnect(); };
            stream = std::move(markers);
        }
        auto written = [&] {
            Velantor::Properties p;
            stream->configuration(&p);
            bool value = !setting();
            EXPECT_TRUE(p.param("autoReconnect", value));
            return value;
        };
        EXPECT_TRUE(setting());
        EXPECT_TRUE(written());

        Velantor::Properties off;
        off.setParam("autoReconnect", false);
        stream->configure(&off);
        EXPECT_FALSE(setting());
        EXPECT_FALSE(written());
        const Velantor::Properties without;
        stream->configure(&without);
        EXPECT_FALSE(setting());
    }
}
