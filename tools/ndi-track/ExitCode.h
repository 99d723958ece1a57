#pragma once
// The exit codes of ndi-track; --help lists them, scripts rely on them.
namespace ndi_track {

enum ExitCode : int {
    Success = 0,       // tracked for the whole run / discover found a system
    OpenFailed = 1,    // the measurement system could not be found, opened or started
    UsageError = 2,    // bad command line
    NothingFound = 3,  // discover heard no measurement system
    // Tracking ran, but the system reported errors (outside the gaps it came
    // back from), was still unreachable when the run ended, or left a stop
    // unanswered. A gap the system came back from is not a failure.
    TrackingErrors = 4,
    FramesDropped = 5,    // frames were lost because the output did not keep up
    OutputFailed = 6,     // the output or the saved workspace could not be written
    ToolsNotTracked = 7,  // a tool named with --rom or --marker could not be loaded
};

constexpr const char* kExitCodeHelp =
    "Exit codes:\n"
    "  0  success: tracked until the end of the run (discover: found a system)\n"
    "  1  the measurement system could not be found, opened or started, or the\n"
    "     plugin library could not be loaded\n"
    "  2  bad command line (a workspace that cannot be read or tracks no NDI stream\n"
    "     included)\n"
    "  3  discover: no measurement system found\n"
    "  4  tracking ran, but the system reported errors meanwhile, was still\n"
    "     unreachable (reconnecting) when the run ended, or did not answer the stop\n"
    "     (see the log); a system that came back after a gap is no failure\n"
    "  5  frames were dropped: the output did not keep up (their number is on stderr)\n"
    "  6  the output or the workspace to save could not be written (the cause is on\n"
    "     stderr)\n"
    "  7  a tool named with --rom or --marker could not be loaded; the others were\n"
    "     tracked (which one and why is on stderr and in the table)\n"
    "When more than one of 4 to 7 applies, the highest is returned. When the\n"
    "reader of the output goes away (a closed pipe, as with | head), ndi-track stops\n"
    "and closes the system and ends quietly by SIGPIPE, as other programs in a\n"
    "pipeline do.";

}  // namespace ndi_track
