#pragma once
// The exit codes of ndi-track; --help lists them, scripts rely on them.
namespace ndi_track {

enum ExitCode : int {
    Success = 0,         // tracked for the whole run / discover found a system
    OpenFailed = 1,      // the measurement system could not be found, opened or started
    UsageError = 2,      // bad command line
    NothingFound = 3,    // discover heard no measurement system
    TrackingErrors = 4,  // tracking ran, but the system reported errors meanwhile
};

constexpr const char* kExitCodeHelp =
    "Exit codes:\n"
    "  0  success: tracked until the end of the run (discover: found a system)\n"
    "  1  the measurement system could not be found, opened or started\n"
    "  2  bad command line\n"
    "  3  discover: no measurement system found\n"
    "  4  tracking ran, but the system reported errors meanwhile (see the log)";

}  // namespace ndi_track
