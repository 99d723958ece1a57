#pragma once
// Captures what NDIUtils logs, debug lines included, for the life of a test.
#include <Velantor/Log.h>

#include <string>
#include <vector>

class NdiUtilsLog {
public:
    NdiUtilsLog() : capture(true) { Velantor::Log::setCategoryLevel("NDIUtils", 1); }
    ~NdiUtilsLog() { Velantor::Log::clearCategoryLevel("NDIUtils"); }

    // "level|text" of every NDIUtils message, in order.
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        for (const auto& record : capture.records())
            if (record.category == "NDIUtils")
                out.push_back(std::to_string(record.level) + "|" + record.message);
        return out;
    }
    std::vector<std::string> errors() const
    {
        std::vector<std::string> out;
        for (const auto& record : capture.records())
            if (record.category == "NDIUtils" && record.level == 4) out.push_back(record.message);
        return out;
    }
    // Every record of NDIUtils carries no file and line -1.
    bool allWithoutSource() const
    {
        for (const auto& record : capture.records())
            if (record.category == "NDIUtils" && (!record.file.empty() || record.line != -1))
                return false;
        return true;
    }

    Velantor::LogCapture capture;
};
