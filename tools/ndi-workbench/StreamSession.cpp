#include "StreamSession.h"

#include <Velantor/StreamHandOver.h>

#include <exception>
#include <utility>
#include <variant>

namespace workbench {

std::unique_ptr<StreamSession> StreamSession::make(std::unique_ptr<Velantor::Algorithm> algorithm,
                                                   Velantor::Properties settings,
                                                   const Velantor::Properties& overrides,
                                                   bool openNow, bool startNow, std::string* error)
{
    // The session opens and starts the stream itself, on the stream's own
    // threads, so that the window never waits for the device.
    const Velantor::StreamRunRequest asked = Velantor::takeStreamRunRequest(settings);
    const bool start = startNow || asked.start;
    const bool open = openNow || start || asked.open;
    for (const std::string& key : overrides.paramNames())
        std::visit([&](const auto& value) { settings.setParam(key, value); },
                   *overrides.rawParam(key));

    std::unique_ptr<Velantor::TrackingStream> stream =
        Velantor::takeTrackingStream(*algorithm, settings, error);
    if (!stream) return nullptr;
    std::unique_ptr<StreamSession> session(
        new StreamSession(std::move(algorithm), std::move(stream)));
    if (open) session->requestOpen();
    if (start) session->requestStart();
    return session;
}

StreamSession::StreamSession(std::unique_ptr<Velantor::Algorithm> algorithm,
                             std::unique_ptr<Velantor::TrackingStream> stream)
    : m_algorithm(std::move(algorithm)), m_stream(std::move(stream))
{
}

StreamSession::~StreamSession()
{
    // The algorithm handed the stream over and no longer looks at it.
    m_stream.reset();
    m_algorithm.reset();
}

void StreamSession::requestOpen() { m_open = m_stream->openAsync(); }
void StreamSession::requestStart() { m_start = m_stream->startAsync(); }

StreamSession::Request StreamSession::resultOf(const Velantor::Stream::AsyncResult& result,
                                               std::string* reason)
{
    if (!result.valid()) return Request::None;
    if (result.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return Request::Pending;
    try {
        if (result.get()) return Request::Succeeded;
        if (reason) *reason = "see the log";
    } catch (const std::exception& e) {
        if (reason) *reason = e.what();
    }
    return Request::Failed;
}

StreamSession::Request StreamSession::openResult(std::string* reason) const
{
    return resultOf(m_open, reason);
}

StreamSession::Request StreamSession::startResult(std::string* reason) const
{
    return resultOf(m_start, reason);
}

void StreamSession::requestClose()
{
    // Close stops a running stream first.
    m_close = m_stream->closeAsync();
}

bool StreamSession::closedBy(std::chrono::steady_clock::time_point deadline) const
{
    if (!m_close.valid()) return m_stream->currentState() == Velantor::Stream::Closed;
    return m_close.wait_until(deadline) == std::future_status::ready;
}

bool StreamSession::isOpen() const
{
    using S = Velantor::Stream;
    // A stream still opening was asked to be open.
    return !m_stream->isStateOneOf({S::Closed, S::Closing});
}

bool StreamSession::isRunning() const
{
    using S = Velantor::Stream;
    return m_stream->isStateOneOf({S::Running, S::Paused, S::Starting, S::Resuming, S::Pausing});
}

}  // namespace workbench
