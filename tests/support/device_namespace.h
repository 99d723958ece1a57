#pragma once
// Runs part of a test inside a private mount namespace whose /dev holds only
// a few standard devices and the host's pseudo-terminals, so that a
// simulated device can appear under one of the fixed serial names
// (/dev/ttyS0 ... /dev/ttyUSB5) that auto-detection probes, without
// creating or changing anything outside the test.
//
//   TEST(X, FindsTheDevice) {
//       NDI_IN_DEVICE_NAMESPACE([] {
//           auto sim = ndisim::Simulator::serial(...);   // made inside
//           ndi::testsupport::bindDevice(sim->serialDevice(), "/dev/ttyUSB1");
//           ... EXPECT_... as usual ...
//       });
//   }
//
// The body runs in a forked child; its GoogleTest failures fail the test.
// Where namespaces cannot be made (no privilege), the test is skipped with
// the reason.
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace ndi::testsupport {

enum class NamespaceOutcome { Passed, Failed, Unavailable };

struct NamespaceRun {
    NamespaceOutcome outcome = NamespaceOutcome::Failed;
    std::string reason;  // why the namespace was unavailable, or how the child ended
};

NamespaceRun runInDeviceNamespace(const std::function<void()>& body);

// Inside the namespace only: makes `terminal` (e.g. "/dev/pts/3") appear as
// `name`, which must be a plain name directly under /dev. Throws
// std::runtime_error on failure.
void bindDevice(const std::string& terminal, const std::string& name);

}  // namespace ndi::testsupport

#define NDI_IN_DEVICE_NAMESPACE(body)                                                       \
    do {                                                                                    \
        const ::ndi::testsupport::NamespaceRun namespaceRun =                               \
            ::ndi::testsupport::runInDeviceNamespace(body);                                 \
        if (namespaceRun.outcome == ::ndi::testsupport::NamespaceOutcome::Unavailable) {    \
            GTEST_SKIP() << "private mount namespace unavailable: " << namespaceRun.reason; \
        }                                                                                   \
        EXPECT_EQ(namespaceRun.outcome, ::ndi::testsupport::NamespaceOutcome::Passed)       \
            << namespaceRun.reason;                                                         \
    } while (0)
