#pragma once
// The names wired tools are given when no registered tool claims their port:
// their kind, numbered when a kind occurs more than once.
#include <map>
#include <string>

namespace Velantor {

// A wired tool's kind, from its description and part number.
std::string wiredToolTypeName(const std::string& description, const std::string& partNumber);

// Hands out names within one discovery run.
class UniqueToolNames {
public:
    // The first tool of a kind keeps the bare name; the next ones are numbered.
    std::string take(const std::string& base);

private:
    std::map<std::string, int> m_counters;
};

}  // namespace Velantor
