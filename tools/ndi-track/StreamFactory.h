#pragma once
// ndi-track as a host: it loads the plugin libraries, makes the stream through
// a plugin's algorithm (chosen by the family, or read from a workspace) and
// gives the run what it needs of the stream through the host's interfaces
// only, whatever the stream's kind.
#include "TrackOptions.h"

#include <Velantor/PluginSet.h>
#include <Velantor/Properties.h>
#include <Velantor/TrackingStream.h>

#include <memory>
#include <string>
#include <vector>

namespace Velantor {
class Algorithm;
class OpticalTrackingInterface;
}  // namespace Velantor

namespace ndi_track {

// The algorithm ids the families are tracked with.
const char* algorithmFor(Family family);

class TrackedStream {
public:
    // stream: the algorithm's output, taken over from it.
    TrackedStream(std::unique_ptr<Velantor::Algorithm> algorithm,
                  std::unique_ptr<Velantor::TrackingStream> stream);
    // The stream goes first (closing its system), then its algorithm.
    ~TrackedStream();
    TrackedStream(const TrackedStream&) = delete;
    TrackedStream& operator=(const TrackedStream&) = delete;

    Velantor::TrackingStream& stream() const { return *m_stream; }
    Velantor::TrackingStream* operator->() const { return m_stream.get(); }
    // Names of the operating volumes the system reported at the last open.
    std::vector<std::string> volumeOptions() const;
    // Makes a reply the stream waits for, and every later one, fail at once:
    // for a stop or close that must not wait out a device gone silent. Safe
    // from any thread while the stream runs; the stream is of no further use
    // for tracking afterwards.
    void cancelPendingReplies() const;

    // What the stream's settings cannot say: the optical markers read from
    // the files named with --marker (saying on stderr which tracker id each
    // got), then the main instrument among them. False, with the reason in
    // *error, when a file could not be read as a marker.
    bool configure(const TrackOptions& options, std::string* error);
    // After an open: one line for each tool or marker named on the command
    // line that the system is not tracking, naming it and saying why.
    std::vector<std::string> untrackedTools(const TrackOptions& options) const;

    // The stream's algorithm and settings, its markers and main instrument
    // included, as a workspace that opens and starts the stream when loaded.
    bool saveWorkspace(const std::string& path, std::string* error) const;

private:
    bool registerMarkers(const std::vector<MarkerFile>& markers, std::string* error);

    std::unique_ptr<Velantor::Algorithm> m_algorithm;
    std::unique_ptr<Velantor::TrackingStream> m_stream;
    Velantor::OpticalTrackingInterface* m_markers = nullptr;
};

class TrackHost {
public:
    TrackHost();
    ~TrackHost();
    TrackHost(const TrackHost&) = delete;
    TrackHost& operator=(const TrackHost&) = delete;

    // Loads and initialises the plugin libraries, the NDI plugin next to
    // ndi-track when none is named, saying on stderr which were loaded.
    bool loadPlugins(const std::vector<std::string>& paths, std::string* error);
    // Reads the workspace (converted when an older version saved it) and
    // keeps its first NDI stream algorithm; sets the family it tracks and,
    // unless the command line named one, its device.
    bool loadWorkspace(TrackOptions& options, std::string* error);
    // Makes the stream through its algorithm, configured from the workspace
    // and the command line (which takes precedence), not yet opened. Null,
    // with the reason in *error, when no plugin offers the algorithm or the
    // stream could not be made.
    std::unique_ptr<TrackedStream> makeStream(const TrackOptions& options, std::string* error);

private:
    Velantor::PluginSet m_plugins;
    std::unique_ptr<Velantor::Algorithm> m_workspaceAlgorithm;
    Velantor::Properties m_workspaceSettings;
};

}  // namespace ndi_track
