#pragma once
// What the command line asks a tracking run for, checked, and how it becomes
// the stream's configuration.
#include <Velantor/Properties.h>

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <string>
#include <vector>

namespace ndi_track {

enum class Family { Aurora, Polaris, Vega };
enum class OutputFormat { Table, Csv, Jsonl };

struct RomTarget {
    std::string name;
    std::string path;
    int port = 1;
};

// An optical marker for the vega's marker stream, read from a tool-definition
// file by the host's marker reader.
struct MarkerFile {
    std::string name;
    std::string path;
};

struct TrackOptions {
    Family family = Family::Aurora;
    std::string device = "auto";  // serial device, or camera address for vega
    int tcpPort = 8765;
    bool binary = true;
    int rateIndex = -1;               // index into the line speeds; -1 keeps the stream's default
    int volumeIndex = -1;             // -1 keeps the stream's default
    std::vector<RomTarget> roms;      // aurora and polaris
    std::vector<MarkerFile> markers;  // vega: --marker, and --rom taken as a marker
    std::string selectedInstrument;
    OutputFormat format = OutputFormat::Table;
    double durationSeconds = 0;  // 0: until Ctrl-C or SIGTERM
    int logLevel = 2;
    std::vector<std::string> plugins;  // empty: the NDI plugin next to ndi-track
    std::string workspace;             // track the stream of this workspace
    std::string saveWorkspace;         // save the stream's workspace here after the run
    std::string record;                // write every frame to this recording (jsonl)
    bool igtl = false;                 // serve the frames over OpenIGTLink
    int igtlPort = 18944;              // 0: any free port, said on stderr
    bool igtlStrays = false;           // and the stray markers as a POINT message
    // Which settings the command line named (with a workspace, only these
    // replace the workspace's).
    bool familyGiven = false;
    bool deviceGiven = false;
    bool portGiven = false;
    bool binaryGiven = false;

    bool isSerial() const { return family != Family::Vega; }
    bool autoDetect() const { return device.empty() || device.find("auto") != std::string::npos; }

    // The stream configuration these options stand for; with givenOnly, only
    // what the command line named.
    Velantor::Properties toProperties(bool givenOnly = false) const;
};

const char* familyName(Family family);

// The options of the track command, registered on a parser.
struct TrackOptionSet {
    TrackOptionSet();
    void addTo(QCommandLineParser& parser) const;
    // Reads and checks the parsed options; on failure returns false and says
    // what is wrong in *error. With --workspace, the options that depend on
    // the family are left for readForFamily, once the workspace told it.
    bool read(const QCommandLineParser& parser, TrackOptions& options, std::string* error) const;
    bool readForFamily(const QCommandLineParser& parser, TrackOptions& options,
                       std::string* error) const;

    QCommandLineOption family, device, address, port, text, rate, volume, rom, marker, select,
        format, duration, logLevel, plugin, workspace, saveWorkspace;
    QCommandLineOption record{QStringLiteral("record"),
                              QStringLiteral("Also write every frame, losslessly, to FILE (a "
                                             "recording: JSON lines, see README.md); ndi-sim "
                                             "--replay plays it back."),
                              QStringLiteral("FILE")};
    QCommandLineOption igtl, igtlPort, igtlStrays;
};

// The serial line speeds the streams offer, in the order of their indices.
const std::vector<int>& offeredLineSpeeds();

}  // namespace ndi_track
