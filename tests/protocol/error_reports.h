// Collects what a connection reports through its error callback, code and
// text, so that a test can check both the code and how it is worded.
#pragma once

#include <ndi/protocol.h>

#include <string>
#include <utility>
#include <vector>

struct ErrorReports {
    std::vector<std::pair<int, std::string>> list;

    void attachTo(NdiConnection* h)
    {
        ndiSetErrorCallback(
            h,
            [](int code, char* message, void* data) {
                static_cast<ErrorReports*>(data)->list.emplace_back(code, message);
            },
            this);
    }
};
