#include <Velantor/Algorithm.h>
#include <Velantor/Properties.h>
#include <Velantor/Stream.h>

#include <map>
#include <mutex>

namespace Velantor {

Algorithm::~Algorithm() = default;

void Algorithm::setFactoryInfo(const std::string& fullId, const std::string& name)
{
    m_id = fullId;
    m_name = name;
}

namespace {

struct GlobalSettings {
    std::mutex mutex;
    std::map<std::string, Properties> byId;
};

GlobalSettings& globalSettings()
{
    static GlobalSettings* s = new GlobalSettings;
    return *s;
}

}  // namespace

void IoAlgorithm::setGlobalSettings(const std::string& fullId, const Properties& settings)
{
    GlobalSettings& g = globalSettings();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (settings.empty())
        g.byId.erase(fullId);
    else
        g.byId[fullId] = settings;
}

void IoAlgorithm::configureFromGlobalSettings()
{
    if (id().empty()) return;
    Properties settings;
    {
        GlobalSettings& g = globalSettings();
        std::lock_guard<std::mutex> lock(g.mutex);
        auto it = g.byId.find(id());
        if (it == g.byId.end()) return;
        settings = it->second;
    }
    configure(&settings);
}

std::vector<Data*> StreamAlgorithmBase::dataGroup() const
{
    if (Stream* s = stream()) return {s};
    return {};
}

std::unique_ptr<Stream> StreamAlgorithmBase::takeOutput()
{
    Stream* s = stream();
    if (!s || m_outputTaken) return nullptr;
    m_outputTaken = true;
    return std::unique_ptr<Stream>(s);
}

}  // namespace Velantor
