// A zero-filled connection handle, as the open functions make it, and a way
// to hand it a reply the way the command engine does. Replies are copied into
// heap blocks of their exact size so that the address sanitizer catches any
// read beyond the bytes received.
#pragma once

#include <gtest/gtest.h>

#include "ndi_capture_internal.h"

#include <cstdlib>
#include <string>
#include <vector>

class CaptureTest : public ::testing::Test {
protected:
    CaptureTest() : h(static_cast<NdiConnection*>(std::calloc(1, sizeof(NdiConnection)))) {}
    ~CaptureTest() override { std::free(h); }

    void capture(const std::string& command, const std::string& reply)
    {
        std::vector<char> cmd(command.begin(), command.end());
        std::vector<char> bytes(reply.begin(), reply.end());
        ndiCaptureReply(h, cmd.data(), static_cast<int>(cmd.size()), bytes.data(),
                        static_cast<int>(bytes.size()));
    }

    NdiConnection* h;
};
