// Feeds arbitrary replies through every capture, then reads them back with
// every accessor over a range of handles and indices, and through the state
// dump. Any read or write
// outside the bytes received or the capture areas is a finding; so is a
// stored count that could index beyond the array it describes.
#include "capture_input.h"
#include "ndi_capture_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void readEverything(NdiConnection* h)
{
    float f8[8], f3[3];
    double d8[8], d3[3], d2[2];
    char info[31], part[20], location[14], pinfo[30];
    char c;

    // Every handle the reply named (read from all slots, also those beyond
    // the count), and handles that cannot be in any reply.
    int handles[2 * NDI_MAX_HANDLES + 4] = {-1, 0, 256, 1 << 20};
    for (int i = 0; i < NDI_MAX_HANDLES; ++i) {
        handles[4 + 2 * i] = h->Capture.TxHandles[i];
        handles[5 + 2 * i] = h->Capture.BxHandles[i];
    }
    for (int handle : handles) {
        ndiGetTXTransformf(h, handle, f8);
        ndiGetTXTransform(h, handle, d8);
        ndiGetTXPortStatus(h, handle);
        ndiGetTXFrame(h, handle);
        ndiGetTXToolInfo(h, handle);
        ndiGetTXSingleStray(h, handle, d3);
        ndiGetBXTransform(h, handle, f8);
        ndiGetBXPortStatus(h, handle);
        ndiGetBXFrame(h, handle);
        ndiGetBXToolInfo(h, handle, &c);
        ndiGetBXSingleStray(h, handle, f3);
        ndiGetBXMarkerStrayCount(h, handle);
    }
    // Marker indices around both ends, for every handle in the reply.
    for (int i = 0; i < 2 * NDI_MAX_HANDLES + 4; ++i) {
        if (i >= 4 && ((i % 2 == 0 && (i - 4) / 2 >= h->Capture.TxHandleCount) ||
                       (i % 2 == 1 && (i - 4) / 2 >= h->Capture.BxHandleCount))) {
            continue;
        }
        for (int marker = -1; marker <= 21; ++marker) {
            ndiGetTXMarkerInfo(h, handles[i], marker);
            ndiGetBXMarkerInfo(h, handles[i], marker, &c);
            ndiGetBXMarkerStray(h, handles[i], marker, f3);
        }
    }
    for (int i = -2; i <= 257; ++i) {
        ndiGetBXPassiveStray(h, i, f3);
        ndiGetPHSRHandle(h, i);
        ndiGetPHSRInformation(h, i);
    }
    for (int i = -2; i <= 52; ++i) {
        ndiGetTXPassiveStray(h, i, d3);
        ndiGetGXPassiveStray(h, i, d3);
        ndiGetIRCHKSourceXY(h, 0, i, d2);
        ndiGetIRCHKSourceXY(h, 1, i, d2);
    }
    ndiGetTXNumberOfPassiveStrays(h);
    ndiGetTXSystemStatus(h);
    ndiGetBXNumberOfPassiveStrays(h);
    ndiGetBXReplyLength(h);
    ndiGetBXMarkerCount(h);
    ndiGetBXSystemStatus(h);

    ndiGetPHRQHandle(h);
    ndiGetPHSRNumberOfHandles(h);
    ndiGetPHINFPortStatus(h);
    ndiGetPHINFCurrentTest(h);
    ndiGetPHINFAccessories(h);
    ndiGetPHINFMarkerType(h);
    ndiGetPHINFGPIOStatus(h);
    ndiGetPHINFToolInfo(h, info);
    ndiGetPHINFPartNumber(h, part);
    ndiGetPHINFPortLocation(h, location);

    const int ports[] = {0,   '0', '1', '2', '3', '4', '@', 'A', 'B',
                         'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 255};
    for (int port : ports) {
        ndiGetGXTransform(h, port, d8);
        ndiGetGXPortStatus(h, port);
        ndiGetGXToolInfo(h, port);
        ndiGetGXSingleStray(h, port, d3);
        ndiGetGXFrame(h, port);
        ndiGetPSTATPortStatus(h, port);
        ndiGetPSTATToolInfo(h, port, pinfo);
        ndiGetPSTATCurrentTest(h, port);
        ndiGetPSTATPartNumber(h, port, part);
        ndiGetPSTATAccessories(h, port);
        ndiGetPSTATMarkerType(h, port);
        for (int marker = '@'; marker <= 'U'; ++marker) {
            ndiGetGXMarkerInfo(h, port, marker);
        }
    }
    ndiGetGXSystemStatus(h);
    ndiGetGXNumberOfPassiveStrays(h);
    ndiGetSSTATControl(h);
    ndiGetSSTATSensors(h);
    ndiGetSSTATTIU(h);
    ndiGetIRCHKDetected(h);
    for (int side = -1; side <= 2; ++side) {
        ndiGetIRCHKNumberOfSources(h, side);
    }
}

// The state dump of whatever was captured: within its documented size, and
// one "label: value" line per field whatever bytes the device sent.
void dumpState(NdiConnection* h)
{
    char* out = static_cast<char*>(std::malloc(NDI_LOG_STATE_SIZE));
    ndiLogState(h, out);
    const std::size_t length = std::strlen(out);
    require(length < NDI_LOG_STATE_SIZE && length > 0 && out[length - 1] == '\n');
    bool labelled = false;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (c == '\n') {
            require(labelled);
            labelled = false;
        } else {
            require(c >= 0x20 && c != 0x7F);
            labelled = labelled || (c == ':' && out[i + 1] == ' ');
        }
    }
    std::free(out);
}

void checkCounts(const NdiConnection* h)
{
    const NdiCaptureAreas& a = h->Capture;
    require(a.TxHandleCount >= 0 && a.TxHandleCount <= NDI_MAX_HANDLES);
    require(a.TxPassiveStrayCount >= 0 && a.TxPassiveStrayCount <= NDI_MAX_TX_PASSIVE_STRAYS);
    require(a.BxHandleCount <= NDI_MAX_HANDLES);
    require(a.BxPassiveStrayCount >= 0 && a.BxPassiveStrayCount <= NDI_MAX_BX_PASSIVE_STRAYS);
    for (int i = 0; i < NDI_MAX_HANDLES; ++i) {
        require(a.Bx3DMarkerCount[i] >= 0 && a.Bx3DMarkerCount[i] <= NDI_MAX_BX_MARKERS);
        require(std::memchr(a.TxTransforms[i], 0, sizeof a.TxTransforms[i]) != nullptr);
        require(std::memchr(a.TxSingleStray[i], 0, sizeof a.TxSingleStray[i]) != nullptr);
        require(std::memchr(a.TxInformation[i], 0, sizeof a.TxInformation[i]) != nullptr);
    }
    require(std::memchr(a.TxPassiveStray, 0, sizeof a.TxPassiveStray) != nullptr);
    require(std::memchr(a.PhsrReply, 0, sizeof a.PhsrReply) != nullptr);
}

// The slot a walk through the first count slots finds, or -1.
int walk(const unsigned char* handles, int count, int handle)
{
    for (int slot = 0; slot < count && slot < NDI_MAX_HANDLES; ++slot) {
        if (handles[slot] == handle) {
            return slot;
        }
    }
    return -1;
}

// The accessors look handles up in an index kept by the capture: it must
// name the slot a walk would find, and no slot for a handle the reply lacks.
void checkHandleIndex(const NdiConnection* h)
{
    const NdiCaptureAreas& a = h->Capture;
    for (int handle = 0; handle < 256; ++handle) {
        require(h->BxSlotOfHandle[handle] == walk(a.BxHandles, a.BxHandleCount, handle) + 1);
        require(h->TxSlotOfHandle[handle] == walk(a.TxHandles, a.TxHandleCount, handle) + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < capture_input::kHeaderSize) {
        return 0;
    }
    const unsigned option = (unsigned(data[1]) << 8) | data[2];
    const std::string command = capture_input::commandText(data[0], option, data[3]);

    // The fields before the capture areas act as a guard: the capture must
    // never touch them.
    auto* h = static_cast<NdiConnection*>(std::calloc(1, sizeof(NdiConnection)));
    std::memset(h, 0x5A, offsetof(NdiConnection, Capture));
    NdiConnection guard;
    std::memcpy(&guard, h, offsetof(NdiConnection, Capture));

    // A reply in a block of its exact size, as the engine hands it over.
    const std::size_t n = size - capture_input::kHeaderSize;
    char* reply = static_cast<char*>(std::malloc(n ? n : 1));
    std::memcpy(reply, data + capture_input::kHeaderSize, n);
    char* cmd = static_cast<char*>(std::malloc(command.size()));
    std::memcpy(cmd, command.data(), command.size());

    ndiCaptureReply(h, cmd, static_cast<int>(command.size()), reply, static_cast<int>(n));
    checkCounts(h);
    checkHandleIndex(h);
    readEverything(h);
    dumpState(h);
    // A second reply on top of the first: the accessors must stay in bounds
    // with a mix of new and older contents.
    ndiCaptureReply(h, cmd, static_cast<int>(command.size()), reply, static_cast<int>(n / 2));
    checkCounts(h);
    checkHandleIndex(h);
    readEverything(h);
    dumpState(h);

    require(std::memcmp(&guard, h, offsetof(NdiConnection, Capture)) == 0);
    std::free(cmd);
    std::free(reply);
    std::free(h);
    return 0;
}
