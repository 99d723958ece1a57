#pragma once
// Algorithms: the objects through which the host creates and configures its
// data sources and filters. A factory creates them (AlgorithmFactory), the
// host calls compute(), reads status() (0 success, 1 failure) and takes the
// output.
#include <Velantor/Configurable.h>

#include <memory>
#include <string>
#include <vector>

namespace Velantor {

class Data;
class Properties;
class Stream;

class Algorithm : public Configurable {
public:
    enum Status : int { Success = 0, Failure = 1 };

    Algorithm() = default;
    ~Algorithm() override;
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;

    virtual void compute() = 0;

    int status() const { return m_status; }
    void setStatus(int status) { m_status = status; }

    // What the factory registered the algorithm as ("Factory.Id" and the menu
    // name); empty for an algorithm made by hand.
    void setFactoryInfo(const std::string& fullId, const std::string& name);
    const std::string& id() const { return m_id; }
    const std::string& name() const { return m_name; }

private:
    int m_status = Success;
    std::string m_id;
    std::string m_name;
};

// An algorithm that reads or produces data outside the host (devices, files).
class IoAlgorithm : public Algorithm {
public:
    // Applies the settings stored for this algorithm's id in the host's global
    // settings (setGlobalSettings), if any; otherwise does nothing.
    void configureFromGlobalSettings();

    // Host side: settings every newly created algorithm with this full id
    // starts from. An empty block removes them.
    static void setGlobalSettings(const std::string& fullId, const Properties& settings);
};

// An algorithm whose output is one stream. takeOutput() hands the stream to
// the caller (the host's data model), which owns it from then on; the
// algorithm records the hand-over so that it does not destroy the stream
// itself (outputTaken(); resetOutputTaken() clears the record when the
// algorithm drops its pointer).
class StreamAlgorithmBase {
public:
    virtual ~StreamAlgorithmBase() = default;
    virtual Stream* stream() const = 0;
    // The algorithm's current output, without handing it over.
    virtual std::vector<Data*> dataGroup() const;
    // The stream, now owned by the caller; null when there is none or it was
    // taken already.
    virtual std::unique_ptr<Stream> takeOutput();
    virtual void resetStream() = 0;

    bool outputTaken() const { return m_outputTaken; }

protected:
    void resetOutputTaken() { m_outputTaken = false; }

private:
    bool m_outputTaken = false;
};

class StreamIoAlgorithm : public IoAlgorithm, public StreamAlgorithmBase {};

}  // namespace Velantor
