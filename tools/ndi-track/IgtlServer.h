#pragma once
// An OpenIGTLink server for the frames of a tracking run. Any number of
// clients may come and go; each gets every frame it can take. The tracking
// thread only hands a frame over; one thread of the server's own encodes it
// once and writes it to every client over non-blocking sockets, so a client
// that stops reading holds up nothing: its queue is bounded, and frames that
// do not fit are dropped for that client alone, and counted. A frame already
// begun is always finished, so a client never sees half a message.
#include "IgtlFrameEncoder.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ndi_track {

constexpr int kIgtlDefaultPort = 18944;  // the port OpenIGTLink peers expect

struct IgtlServerOptions {
    int port = kIgtlDefaultPort;  // 0: any free port (see IgtlServer::port)
    bool strays = false;          // one POINT message per frame with the stray markers
    // Frames waiting for one client beyond what its socket holds: about 40 ms
    // at 400 Hz. More would only make a late pose later.
    std::size_t clientQueueFrames = 16;
    // No frame for this long while tracking: clients are told the system is
    // silent. Well above the longest pass of the slowest system.
    std::chrono::milliseconds silence{500};
};

class IgtlServer {
public:
    explicit IgtlServer(IgtlServerOptions options);
    ~IgtlServer();
    IgtlServer(const IgtlServer&) = delete;
    IgtlServer& operator=(const IgtlServer&) = delete;

    // Listens on every interface and starts serving; false, with the reason
    // in *error, when the port cannot be had.
    bool start(std::string* error);
    int port() const { return m_port; }

    // Any thread; takes a short lock and never waits for a client.
    void publish(std::shared_ptr<const Velantor::TrackingStreamData> frame);
    // The measurement system's state, for every client now and for those
    // that connect later (each gets the latest on connecting). Ok arms the
    // watch for silence; a frame after a silence announces Ok by itself.
    void announce(IgtlStatusCode code, const std::string& text);
    // Tells the clients the server is closing, gives them a moment to take
    // what is queued, and closes. Returns within about 100 ms. Idempotent.
    void stop();

    // Safe from any thread at any time.
    std::uint64_t droppedFrames() const { return m_dropped.load(); }
    std::uint64_t clientsServed() const { return m_served.load(); }
    // One line per client that lost frames, once it has left (all have after
    // stop()).
    std::vector<std::string> lossReports() const;
    // Processor time the serving thread has used so far.
    double cpuSeconds() const;

private:
    struct Client;
    struct Chunk;
    void serve();
    void distribute(const std::shared_ptr<const std::string>& bytes, bool frame);
    void flush(Client& client);
    void dropClient(std::size_t index, const char* why);
    void acceptClients();
    void setStatus(IgtlStatusCode code, const std::string& text);

    const IgtlServerOptions m_options;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    int m_port = 0;
    IgtlFrameEncoder m_encoder;  // serving thread only

    std::mutex m_mutex;  // the hand-over below
    std::deque<std::shared_ptr<const Velantor::TrackingStreamData>> m_frames;
    std::vector<std::pair<IgtlStatusCode, std::string>> m_announced;
    bool m_stopping = false;
    std::uint64_t m_handoverDropped = 0;

    // Serving thread only.
    std::vector<std::unique_ptr<Client>> m_clients;
    std::uint64_t m_handoverDroppedSeen = 0;
    IgtlStatusCode m_status = IgtlStatusCode::Disabled;
    std::string m_statusText = "not tracking yet";
    std::chrono::steady_clock::time_point m_lastFrame{};

    std::atomic<std::uint64_t> m_dropped{0};
    std::atomic<std::uint64_t> m_served{0};
    mutable std::mutex m_reportMutex;
    std::vector<std::string> m_lossReports;
    std::atomic<bool> m_haveClock{false};
    clockid_t m_threadClock{};
    std::thread m_thread;
};

}  // namespace ndi_track
