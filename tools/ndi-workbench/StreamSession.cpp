#include "StreamSession.h"

#include <exception>
#include <utility>
#include <variant>

namespace workbench {

namespace {

// The keys with which an algorithm opens and starts its stream while it is
// made; the older names are read when the newer ones are missing.
const char* const kOpenKeys[] = {"open", "autoOpen", "connect"};
const char* const kStartKeys[] = {"start", "autoStart"};

bool firstFlag(const Velantor::Properties& settings, const char* const* keys, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        bool value = false;
        if (settings.param(keys[i], value)) return value;
    }
    return false;
}

}  // namespace

std::unique_ptr<StreamSession> StreamSession::make(std::unique_ptr<Velantor::Algorithm> algorithm,
                                                   Velantor::Properties settings,
                                                   const Velantor::Properties& overrides,
                                                   bool openNow, bool startNow, std::string* error)
{
    const bool start = startNow || firstFlag(settings, kStartKeys, std::size(kStartKeys));
    const bool open = openNow || start || firstFlag(settings, kOpenKeys, std::size(kOpenKeys));
    for (const std::string& key : overrides.paramNames())
        std::visit([&](const auto& value) { settings.setParam(key, value); },
                   *overrides.rawParam(key));
    for (const char* key : kOpenKeys) settings.removeParam(key);
    for (const char* key : kStartKeys) settings.removeParam(key);
    settings.setParam("open", false);
    settings.setParam("start", false);

    algorithm->configure(&settings);
    algorithm->compute();
    auto* output = dynamic_cast<Velantor::StreamAlgorithmBase*>(algorithm.get());
    std::unique_ptr<Velantor::Stream> stream;
    if (output != nullptr && algorithm->status() == Velantor::Algorithm::Success)
        stream = output->takeOutput();
    auto* tracking = dynamic_cast<Velantor::TrackingStream*>(stream.get());
    if (tracking == nullptr) {
        *error = "the algorithm " + algorithm->id() + " made no tracking stream";
        return nullptr;
    }
    stream.release();
    std::unique_ptr<StreamSession> session(new StreamSession(
        std::move(algorithm), std::unique_ptr<Velantor::TrackingStream>(tracking)));
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
