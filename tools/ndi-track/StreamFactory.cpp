#include "StreamFactory.h"

#include <Velantor/Algorithm.h>
#include <Velantor/OpticalTrackingInterface.h>
#include <Velantor/StreamHandOver.h>
#include <Velantor/Workspace.h>
#include <Velantor/WorkspaceFile.h>

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace ndi_track {

namespace {

constexpr const char* kVegaAlgorithm = "NDITracking.PolarisVegaTrackingStream";
constexpr const char* kVicraAlgorithm = "NDITracking.PolarisVicraTrackingStream";
constexpr const char* kAuroraAlgorithm = "NDITracking.AuroraTrackingStream";

bool familyOf(const std::string& algorithm, Family& family)
{
    if (algorithm == kAuroraAlgorithm)
        family = Family::Aurora;
    else if (algorithm == kVicraAlgorithm)
        family = Family::Polaris;
    else if (algorithm == kVegaAlgorithm)
        family = Family::Vega;
    else
        return false;
    return true;
}

void note(const std::string& text) { std::fprintf(stderr, "ndi-track: %s\n", text.c_str()); }

// Puts every setting of overrides into settings; a list of tools replaces the
// list there.
void applyOverrides(Velantor::Properties& settings, const Velantor::Properties& overrides)
{
    for (const std::string& key : overrides.paramNames())
        std::visit([&](const auto& value) { settings.setParam(key, value); },
                   *overrides.rawParam(key));
    if (const Velantor::Properties* targets = overrides.subProperties("TrackingTargets")) {
        settings.removeSubProperties("TrackingTargets");
        settings.addSubProperties(*targets);
    }
}

std::string defaultPluginPath()
{
    return (QCoreApplication::applicationDirPath() + QLatin1Char('/') +
            QStringLiteral(NDI_PLUGIN_FILE_NAME))
        .toStdString();
}

}  // namespace

const char* algorithmFor(Family family)
{
    switch (family) {
    case Family::Aurora: return kAuroraAlgorithm;
    case Family::Polaris: return kVicraAlgorithm;
    case Family::Vega: break;
    }
    return kVegaAlgorithm;
}

TrackedStream::TrackedStream(std::unique_ptr<Velantor::Algorithm> algorithm,
                             std::unique_ptr<Velantor::TrackingStream> stream)
    : m_algorithm(std::move(algorithm)), m_stream(std::move(stream))
{
    m_markers = dynamic_cast<Velantor::OpticalTrackingInterface*>(m_stream.get());
}

TrackedStream::~TrackedStream()
{
    // The algorithm handed the stream over and no longer looks at it.
    m_stream.reset();
    m_algorithm.reset();
}

std::vector<std::string> TrackedStream::volumeOptions() const
{
    // The stream offers its volumes as the choices of its "maxRange" setting.
    Velantor::Properties settings;
    m_stream->configuration(&settings);
    std::string joined;
    if (!settings.paramAttribute("maxRange", "values", joined) || joined.empty()) return {};
    std::vector<std::string> names;
    std::size_t start = 0;
    for (std::size_t comma; (comma = joined.find(", ", start)) != std::string::npos;
         start = comma + 2)
        names.push_back(joined.substr(start, comma - start));
    names.push_back(joined.substr(start));
    return names;
}

void TrackedStream::cancelPendingReplies() const { m_stream->cancelPendingReplies(); }

bool TrackedStream::configure(const TrackOptions& options, std::string* error)
{
    if (!registerMarkers(options.markers, error)) return false;
    // A marker's instrument exists only now that it is registered.
    if (m_markers != nullptr && !options.selectedInstrument.empty()) {
        Velantor::Properties selection;
        selection.setParam("selectedInstrument", options.selectedInstrument);
        m_stream->configure(&selection);
    }
    return true;
}

bool TrackedStream::registerMarkers(const std::vector<MarkerFile>& markers, std::string* error)
{
    for (const MarkerFile& marker : markers) {
        if (m_markers == nullptr) {
            *error = "markers are tracked by the vega only";
            return false;
        }
        // The host's reader says what is wrong with a file in the log.
        const std::string id =
            m_markers->addTrackingMarker(Velantor::Filesystem::Path(marker.path), marker.name);
        if (id.empty()) {
            *error = "the marker " + marker.name + " could not be registered from " + marker.path;
            return false;
        }
        std::fprintf(stderr, "ndi-track: marker %s has tracker id %s\n", marker.name.c_str(),
                     id.c_str());
    }
    return true;
}

std::vector<std::string> TrackedStream::untrackedTools(const TrackOptions& options) const
{
    std::vector<std::string> lines;
    const std::vector<Velantor::TrackingInstrument> instruments =
        m_stream->trackingInstruments()->instruments();
    if (m_markers != nullptr) {
        for (const Velantor::TrackingInstrument& instrument : instruments) {
            const std::string problem = m_markers->trackingMarkerProblem(instrument.id.ID());
            if (!problem.empty())
                lines.push_back("the marker " + instrument.id.name() + " (" + instrument.id.ID() +
                                ") is not tracked: " + problem);
        }
        return lines;
    }
    // A camera-specific stream makes an instrument, named after the tool, only
    // for a tool whose ROM it could load.
    for (const RomTarget& rom : options.roms) {
        const bool loaded = std::any_of(
            instruments.begin(), instruments.end(),
            [&](const Velantor::TrackingInstrument& i) { return i.id.name() == rom.name; });
        if (!loaded)
            lines.push_back("the tool " + rom.name + " (" + rom.path +
                            ") is not tracked: its ROM could not be loaded (see the log above)");
    }
    return lines;
}

bool TrackedStream::saveWorkspace(const std::string& path, std::string* error) const
{
    Velantor::Properties workspace = Velantor::Workspace::fromAlgorithms({m_algorithm.get()});
    // Loaded by a host, the workspace tracks again at once, as this run did.
    for (Velantor::Properties* block : workspace.subProperties("Algorithms")->subProperties()) {
        block->setParam("open", true);
        block->setParam("start", true);
    }
    return Velantor::WorkspaceFile::write(Velantor::Filesystem::Path(path), workspace, error);
}

TrackHost::TrackHost() = default;

TrackHost::~TrackHost()
{
    // Its code lives in a plugin: it goes before the plugins.
    m_workspaceAlgorithm.reset();
}

bool TrackHost::loadPlugins(const std::vector<std::string>& paths, std::string* error)
{
    return m_plugins.loadAll(paths, defaultPluginPath(), note, error);
}

bool TrackHost::loadWorkspace(TrackOptions& options, std::string* error)
{
    Velantor::Workspace workspace;
    // The host's reasons name the file.
    if (!workspace.load(Velantor::Filesystem::Path(options.workspace), m_plugins, error))
        return false;
    const Velantor::Properties* blocks =
        workspace.properties().subProperties(Velantor::Workspace::kAlgorithmsName);
    const auto settings =
        blocks ? blocks->subProperties() : std::vector<const Velantor::Properties*>{};
    std::vector<std::unique_ptr<Velantor::Algorithm>> algorithms = workspace.takeAlgorithms();
    for (std::size_t i = 0; i < algorithms.size() && i < settings.size(); ++i) {
        Family family = Family::Aurora;
        if (!familyOf(algorithms[i]->id(), family)) {
            note("the workspace's algorithm " + algorithms[i]->id() +
                 " is not an NDI stream: left aside");
            continue;
        }
        if (m_workspaceAlgorithm) {
            note("the workspace's algorithm " + algorithms[i]->id() +
                 " is left aside: ndi-track tracks one stream, the first");
            continue;
        }
        if (options.familyGiven && options.family != family) {
            *error = std::string("the workspace tracks the ") + familyName(family) +
                     " family, not " + familyName(options.family) + " (leave --family out)";
            return false;
        }
        options.family = family;
        m_workspaceAlgorithm = std::move(algorithms[i]);
        m_workspaceSettings = *settings[i];
    }
    if (!m_workspaceAlgorithm) {
        *error = "the workspace " + options.workspace + " has no NDI stream to track";
        return false;
    }
    std::string device;
    if (m_workspaceSettings.param("hardwareDevice", device)) options.device = device;
    int port = 0;
    if (m_workspaceSettings.param("hardwarePort", port)) options.tcpPort = port;
    bool binary = true;
    if (m_workspaceSettings.param("binaryQueryMode", binary)) options.binary = binary;
    return true;
}

std::unique_ptr<TrackedStream> TrackHost::makeStream(const TrackOptions& options,
                                                     std::string* error)
{
    std::unique_ptr<Velantor::Algorithm> algorithm;
    Velantor::Properties settings;
    if (m_workspaceAlgorithm) {
        algorithm = std::move(m_workspaceAlgorithm);
        settings = m_workspaceSettings;
        applyOverrides(settings, options.toProperties(true));
    } else {
        algorithm = m_plugins.createAlgorithm(algorithmFor(options.family), error);
        if (!algorithm) return nullptr;
        settings = options.toProperties();
    }
    // ndi-track opens and starts the stream itself, so that a stop signal can
    // cut either short.
    Velantor::takeStreamRunRequest(settings);
    std::unique_ptr<Velantor::TrackingStream> stream =
        Velantor::takeTrackingStream(*algorithm, settings, error);
    if (!stream) return nullptr;
    return std::make_unique<TrackedStream>(std::move(algorithm), std::move(stream));
}

}  // namespace ndi_track
