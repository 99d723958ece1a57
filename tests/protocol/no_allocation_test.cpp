// A command exchange, its capture and the accessors take no memory from the
// heap: every buffer of a connection exists from the moment it opens. This
// test binary replaces malloc and its relatives with counting versions and
// counts what the calling thread asks for while it talks to a loopback
// device. (Sanitizers bring their own allocator; there the count means
// nothing and the test skips.)
#include <gtest/gtest.h>

#include <ndi/protocol.h>

#include "reply_encoder.h"
#include "scripted_device.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NDI_COUNTS_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define NDI_COUNTS_ALLOCATIONS 0
#endif
#endif
#ifndef NDI_COUNTS_ALLOCATIONS
#define NDI_COUNTS_ALLOCATIONS 1
#endif

namespace {
thread_local bool counting = false;
thread_local long allocations = 0;
}  // namespace

#if NDI_COUNTS_ALLOCATIONS
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t size)
{
    if (counting) {
        ++allocations;
    }
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    if (counting) {
        ++allocations;
    }
    return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size)
{
    if (counting) {
        ++allocations;
    }
    return __libc_realloc(p, size);
}

void* memalign(size_t alignment, size_t size)
{
    if (counting) {
        ++allocations;
    }
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size)
{
    void* p = memalign(alignment, size);
    if (!p) {
        return 12;  // ENOMEM
    }
    *out = p;
    return 0;
}

void free(void* p)
{
    if (counting && p) {
        ++allocations;
    }
    __libc_free(p);
}
}
#endif

namespace {

using namespace replies;

// Everything a tracking loop and tool setup do with one connection.
void exchangeAndReadEverything(NdiConnection* h, int& errors)
{
    float f8[8], f3[3];
    double d8[8], d3[3];
    char c, info[31], part[20];

    ndiCommand(h, "BX:%04X", 0x180F);
    errors += ndiGetError(h) != 0;
    for (int handle = 1; handle <= 4; ++handle) {
        ndiGetBXTransform(h, handle, f8);
        ndiGetBXPortStatus(h, handle);
        ndiGetBXFrame(h, handle);
        ndiGetBXToolInfo(h, handle, &c);
        ndiGetBXMarkerInfo(h, handle, 3, &c);
        ndiGetBXSingleStray(h, handle, f3);
        for (int m = 0; m < ndiGetBXMarkerStrayCount(h, handle); ++m) {
            ndiGetBXMarkerStray(h, handle, m, f3);
        }
        float matrix[16];
        double matrixd[16];
        ndiTransformToMatrixf(f8, matrix);
        ndiTransformToMatrixfd(f8, matrixd);
    }
    for (int i = 0; i < ndiGetBXNumberOfPassiveStrays(h); ++i) {
        ndiGetBXPassiveStray(h, i, f3);
    }
    ndiGetBXSystemStatus(h);

    ndiCommand(h, "TX:%04X", 0x1007);
    errors += ndiGetError(h) != 0;
    ndiGetTXTransformf(h, 0x0A, f8);
    ndiGetTXTransform(h, 0x0A, d8);
    ndiGetTXFrame(h, 0x0A);
    ndiGetTXPortStatus(h, 0x0A);
    ndiGetTXToolInfo(h, 0x0A);
    ndiGetTXMarkerInfo(h, 0x0A, 2);
    ndiGetTXSingleStray(h, 0x0A, d3);
    for (int i = 0; i < ndiGetTXNumberOfPassiveStrays(h); ++i) {
        ndiGetTXPassiveStray(h, i, d3);
    }
    ndiGetTXSystemStatus(h);

    ndiCommand(h, "PHSR:%02X", 0);
    errors += ndiGetError(h) != 0;
    for (int i = 0; i < ndiGetPHSRNumberOfHandles(h); ++i) {
        ndiCommand(h, "PHINF:%02X%04X", ndiGetPHSRHandle(h, i), 0x0025);
        errors += ndiGetError(h) != 0;
        ndiGetPHINFToolInfo(h, info);
        ndiGetPHINFPartNumber(h, part);
        ndiGetPHINFPortStatus(h);
    }
    ndiCommand(h, "PHRQ:*********1****");
    errors += ndiGetError(h) != 0;
    ndiGetPHRQHandle(h);

    // A device error goes through the error report as well.
    ndiCommand(h, "PENA:%02X%c", 0x0A, 'D');
    errors += ndiGetError(h) != 0x0D ? 1 : 0;
}

std::string answer(const std::string& command)
{
    const std::string name = command.substr(0, command.find(':'));
    if (name == "BX") {
        BxReply r;
        for (int i = 1; i <= 4; ++i) {
            BxEntry e;
            e.handle = static_cast<std::uint8_t>(i);
            e.strayStatus = 1;
            e.markers = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
            r.entries.push_back(e);
        }
        r.passiveStrays = {{1, 1, 1}, {2, 2, 2}};
        return frameBx(encodeBx(0x180F, r));
    }
    if (name == "TX") {
        TxReply r;
        TxEntry e;
        e.handle = 0x0A;
        e.transform = poseText(Pose{});
        e.information = "31" + std::string(18, '1');
        e.singleStray = coordText(1, 2, 3);
        r.entries = {e};
        r.passiveStrays = {{1, 2, 3}};
        return frameText(encodeTx(0x1007, r));
    }
    if (name == "PHSR") {
        return frameText(
            "02"
            "0A001"
            "0B001");
    }
    if (name == "PHINF") {
        return frameText(std::string(31, 'T') + "01" + "8700339             " + "0A000000000001");
    }
    if (name == "PHRQ") {
        return frameText("0C");
    }
    return frameText("ERROR0D");
}

TEST(NoAllocation, CommandExchangeCaptureAndAccessors)
{
    if (!NDI_COUNTS_ALLOCATIONS) {
        GTEST_SKIP() << "a sanitizer supplies its own allocator in this build; the count runs in "
                        "the normal build";
    }
    nditest::ScriptedDevice device(nditest::ScriptedDevice::Line::Tcp, answer);
    NdiConnection* h = ndiOpenNetwork("127.0.0.1", device.port());
    ASSERT_NE(h, nullptr);
    ndiTimeoutSocket(h, 5000);
    ndiSetErrorCallback(
        h, [](int, char*, void*) {}, nullptr);

    // The counter itself must see an allocation (through a pointer the
    // compiler cannot see through, so the pair is not optimised away).
    void* (*volatile allocate)(size_t) = std::malloc;
    void (*volatile release)(void*) = std::free;
    counting = true;
    release(allocate(16));
    counting = false;
    ASSERT_EQ(allocations, 2) << "the counting allocator is not in use";

    int errors = 0;
    exchangeAndReadEverything(h, errors);  // warm-up: anything lazy happens here
    ASSERT_EQ(errors, 0);

    allocations = 0;
    counting = true;
    exchangeAndReadEverything(h, errors);
    counting = false;
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(allocations, 0) << "heap allocations or frees during the exchanges";

    ndiCloseNetwork(h);
}

}  // namespace
