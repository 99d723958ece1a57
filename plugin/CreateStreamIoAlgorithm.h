#pragma once
// The algorithm through which the host creates one of the plugin's streams:
// compute() makes a fresh stream of type S, configures it with what the
// algorithm was configured with and, as the "open"/"start" keys say, opens
// and starts it and waits for both. The host takes the stream over with
// takeOutput(); until then the algorithm owns it.
//
// setStream() blocks its caller for the whole open and start (device
// detection and initialisation can take seconds): hosts call compute() on a
// thread of their own, never on the user-interface thread.
#include "StreamNames.h"

#include <Velantor/Algorithm.h>
#include <Velantor/Log.h>
#include <Velantor/Properties.h>
#include <Velantor/Stream.h>

#include <exception>
#include <initializer_list>
#include <memory>
#include <string>

namespace Velantor {

template <typename S, bool, bool>
class CreateStreamIoAlgorithm : public StreamIoAlgorithm {
public:
    CreateStreamIoAlgorithm() = default;
    // A stream the host never took would otherwise stay open, with its
    // device connection and its worker, for the rest of the program.
    ~CreateStreamIoAlgorithm() override { destroyOwnedStream(); }

    S* stream() const override { return m_stream; }
    std::unique_ptr<Stream> takeOutput() override { return StreamAlgorithmBase::takeOutput(); }

    void resetStream() override
    {
        destroyOwnedStream();
        m_stream = nullptr;
        resetOutputTaken();
    }

    void compute() override { setStream(new S(StreamNames<S>::name)); }

    // Takes ownership of s (null is a failure).
    void setStream(S* s)
    {
        try {
            resetStream();
        } catch (const std::exception& e) {
            // The new stream has no owner yet: it must not outlive this call.
            delete s;
            failed(e);
            return;
        }
        if (s == nullptr) {
            setStatus(Failure);
            return;
        }
        m_stream = s;
        try {
            if (m_configuration) s->configure(m_configuration.get());
            if (!m_openAfterCreate) {
                setStatus(Success);
                return;
            }
            if (!s->openAsync().get()) {
                setStatus(Failure);
                return;
            }
            setStatus(!m_startAfterOpen || s->startAsync().get() ? Success : Failure);
        } catch (const std::exception& e) {
            // Nobody else holds the stream: close and destroy it rather than
            // leave its connection and worker running with no owner.
            resetStream();
            failed(e);
        }
    }

    void configure(const Properties* p) override
    {
        if (p == nullptr) return;
        m_configuration = std::make_unique<Properties>(*p);
        if (m_stream != nullptr) m_stream->configure(p);
        readFlag(*p, {"open", "autoOpen", "connect"}, m_openAfterCreate);
        readFlag(*p, {"start", "autoStart"}, m_startAfterOpen);
    }

    void configuration(Properties* p) const override
    {
        if (p == nullptr) return;
        if (m_stream != nullptr)
            m_stream->configuration(p);
        else if (m_configuration)
            p->copyFrom(*m_configuration);
    }

private:
    // The first of the keys present decides; a flag keeps its value when
    // none is.
    static void readFlag(const Properties& p, std::initializer_list<const char*> keys, bool& flag)
    {
        for (const char* key : keys) {
            if (p.hasParam(key)) {
                p.param(key, flag);
                return;
            }
        }
    }

    void destroyOwnedStream()
    {
        // The stream's destructor closes it (and its device) first.
        if (m_stream != nullptr && !outputTaken()) {
            S* owned = m_stream;
            m_stream = nullptr;
            delete owned;
        }
    }

    void failed(const std::exception& e)
    {
        m_stream = nullptr;
        setStatus(Failure);
        Log::logIf(Log::Error, "CreateStreamIoAlgorithm",
                   [&] { return std::string("Could not instantiate a new Stream: ") + e.what(); });
    }

    S* m_stream = nullptr;
    std::unique_ptr<Properties> m_configuration;
    bool m_openAfterCreate = false;
    bool m_startAfterOpen = false;
};

}  // namespace Velantor
