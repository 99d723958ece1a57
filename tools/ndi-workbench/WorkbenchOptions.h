#pragma once
// The command line of ndi-workbench, read into plain values. Reading checks
// everything that can be checked without the plugins; whether an algorithm id
// exists is for the plugins to say.
#include <Velantor/Properties.h>

#include <QStringList>

#include <string>
#include <vector>

namespace workbench {

struct WorkbenchOptions {
    std::vector<std::string> plugins;  // empty: the NDI plugin next to the program
    bool list = false;
    std::string algorithm;  // a full id, or an id that one plugin factory offers
    std::string workspace;
    std::string device;  // a serial device, or a camera's address
    int tcpPort = 0;     // 0: the stream's own default
    bool open = false;
    bool start = false;  // implies open
    std::string saveWorkspace;
    std::string screenshot;
    double afterSeconds = 0;
    std::string dumpModel;

    // The stream settings the command line gives (the device, the port).
    Velantor::Properties settings() const;
};

enum class ReadResult { Run, Help, Error };

// Reads the arguments (the program name first). Help prints the help text on
// stdout; Error leaves the reason in *error.
ReadResult readOptions(const QStringList& arguments, WorkbenchOptions& options, std::string* error);

}  // namespace workbench
