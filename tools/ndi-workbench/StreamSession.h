#pragma once
// One stream the workbench runs: the algorithm that made it, the stream taken
// over from the algorithm, and the open and start requests made for it.
//
// The algorithm is computed without its "open"/"start" settings: opening can
// take seconds (probing devices, initialising the system) and compute() would
// wait for it on the user-interface thread. The session makes the same
// requests itself instead; they run on the stream's own threads, in order.
#include <Velantor/Algorithm.h>
#include <Velantor/Properties.h>
#include <Velantor/Stream.h>
#include <Velantor/TrackingStream.h>

#include <chrono>
#include <memory>
#include <string>

namespace workbench {

class StreamSession {
public:
    enum class Request { None, Pending, Succeeded, Failed };

    // settings: what the algorithm is configured with (a workspace block, or
    // nothing); overrides (the command line) take precedence. The run keys in
    // settings ("open", "start" and their older names) and openNow/startNow
    // say what to request. Null with the reason when the algorithm made no
    // tracking stream.
    static std::unique_ptr<StreamSession> make(std::unique_ptr<Velantor::Algorithm> algorithm,
                                               Velantor::Properties settings,
                                               const Velantor::Properties& overrides, bool openNow,
                                               bool startNow, std::string* error);

    // The stream goes first (it closes itself, if still open), then its algorithm.
    ~StreamSession();
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    Velantor::Algorithm& algorithm() const { return *m_algorithm; }
    Velantor::TrackingStream& stream() const { return *m_stream; }

    // Made by make() when asked; callable again later.
    void requestOpen();
    void requestStart();
    // Without waiting. A failure's reason comes with it (the request's exception text, or
    // the log's).
    Request openResult(std::string* reason = nullptr) const;
    Request startResult(std::string* reason = nullptr) const;

    // Asks for stop and close without waiting; closedBy() waits for both.
    void requestClose();
    bool closedBy(std::chrono::steady_clock::time_point deadline) const;
    // Makes replies the stream waits for fail at once (a device gone silent).
    void cancelPendingReplies() { m_stream->cancelPendingReplies(); }

    // Whether a workspace loaded later should open and start the stream again.
    bool isOpen() const;
    bool isRunning() const;

private:
    StreamSession(std::unique_ptr<Velantor::Algorithm> algorithm,
                  std::unique_ptr<Velantor::TrackingStream> stream);
    static Request resultOf(const Velantor::Stream::AsyncResult& result, std::string* reason);

    std::unique_ptr<Velantor::Algorithm> m_algorithm;
    std::unique_ptr<Velantor::TrackingStream> m_stream;
    Velantor::Stream::AsyncResult m_open;
    Velantor::Stream::AsyncResult m_start;
    Velantor::Stream::AsyncResult m_close;
};

}  // namespace workbench
