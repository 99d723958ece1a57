#pragma once
// Faults the simulated device can be told to commit, from its scenario, from
// the ndi-sim command line or while it runs (Simulator::setFaults). A count of
// 0 switches a fault off. Replies are counted from 1 across all commands.
#include <string>

namespace ndisim {

// What error-all answers when no code is named: "invalid in this mode", the
// reply of a system that is up but will not serve.
constexpr int kDefaultErrorAllCode = 0x0C;

struct Faults {
    int corruptCrcEvery = 0;        // every Nth reply carries a wrong CRC
    int dropEvery = 0;              // every Nth reply is never sent
    int delayMs = 0;                // replies are held back this long ...
    int delayEvery = 1;             // ... every Nth of them
    int splitBytes = 0;             // replies go out in pieces of this many bytes ...
    int splitPauseMs = 0;           // ... with this pause between pieces
    int garbageEvery = 0;           // every Nth reply is preceded by garbage bytes
    int disconnectAfterFrames = 0;  // after N tracking replies the link goes down
    bool ignoreComm = false;        // COMM is acknowledged but the device keeps its line settings
    int errorAllCode = 0;           // every command is refused with this ERROR code, undone
    bool silent = false;            // commands are swallowed unanswered, on every connection

    bool operator==(const Faults& other) const;
};

// Parses one "--fault" item of ndi-sim and applies it to `faults`:
//   corrupt-crc=N, drop=N, delay=MS[/N], split=BYTES/MS, garbage=N,
//   disconnect=FRAMES, ignore-comm, error-all[=CODE], silent, none.
// Returns an empty string on success, else what was wrong.
std::string applyFaultItem(const std::string& item, Faults& faults);

// A short human-readable summary (for the command's start-up banner).
std::string describeFaults(const Faults& faults);

}  // namespace ndisim
