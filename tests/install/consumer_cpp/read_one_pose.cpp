// Built with find_package against an installed protocol library (the static
// one): the C headers used from C++. Connects to HOST PORT, enables the
// system's wired tools, starts tracking and prints the first pose it reads.
#include <ndi/protocol.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

void send(NdiConnection* h, const std::string& command)
{
    ndiCommand(h, "%s", command.c_str());
    if (const int error = ndiGetError(h)) {
        throw std::runtime_error(command + ": " + ndiErrorString(error));
    }
}

std::vector<int> listed(NdiConnection* h, int option)
{
    char command[16];
    std::snprintf(command, sizeof command, "PHSR:%02X", option);
    send(h, command);
    std::vector<int> handles;
    for (int i = 0; i < ndiGetPHSRNumberOfHandles(h) && i < NDI_MAX_HANDLES; ++i)
        handles.push_back(ndiGetPHSRHandle(h, i));
    return handles;
}

std::string withHandle(const char* format, int handle)
{
    char command[16];
    std::snprintf(command, sizeof command, format, handle);
    return command;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: read_one_pose_cpp HOST PORT\n");
        return 2;
    }
    NdiConnection* h = ndiOpenNetwork(argv[1], std::atoi(argv[2]));
    if (h == nullptr) {
        std::fprintf(stderr, "cannot connect to %s:%s\n", argv[1], argv[2]);
        return 1;
    }
    int status = 1;
    try {
        send(h, "INIT:");
        for (int handle : listed(h, 0x02)) send(h, withHandle("PINIT:%02X", handle));
        for (int handle : listed(h, 0x03)) send(h, withHandle("PENA:%02XD", handle));
        send(h, "TSTART:");
        // A tool may be out of view for a moment: a few hundred tries, never
        // an endless wait.
        for (int attempt = 0; attempt < 300 && status != 0; ++attempt) {
            send(h, "BX:0801");
            for (int slot = 0; slot < h->Capture.BxHandleCount && status != 0; ++slot) {
                const int handle = h->Capture.BxHandles[slot];
                float pose[8];
                if (ndiGetBXTransform(h, handle, pose) == 0) {
                    std::printf("pose handle %02X frame %u position %.2f %.2f %.2f\n", handle,
                                ndiGetBXFrame(h, handle), pose[4], pose[5], pose[6]);
                    status = 0;
                }
            }
            if (status != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (status != 0) std::fprintf(stderr, "no pose read\n");
        send(h, "TSTOP:");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        status = 1;
    }
    ndiCloseNetwork(h);
    return status;
}
