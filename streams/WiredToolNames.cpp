#include "WiredToolNames.h"

namespace Velantor {

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::string wiredToolTypeName(const std::string& description, const std::string& partNumber)
{
    if (description.size() < 2) return "Unknown";
    if (startsWith(description, "01")) return "Reference";
    if (startsWith(description, "021") && partNumber.find("3AAA") != std::string::npos)
        return "Stylus";
    if (startsWith(description, "02") && partNumber.find("36C3") != std::string::npos)
        return "Wire";
    if (startsWith(description, "02")) return "Probe";
    if (startsWith(description, "03")) return "Switch";
    if (startsWith(description, "05")) return "Microscope";
    if (startsWith(description, "07")) return "Calibration Device";
    if (startsWith(description, "08")) return "Strober";
    if (startsWith(description, "0A")) return "C-Arm";
    if (startsWith(description, "0B")) return "Catheter";
    return "Unknown";
}

std::string UniqueToolNames::take(const std::string& base)
{
    const int seen = m_counters[base]++;
    return seen == 0 ? base : base + " " + std::to_string(seen);
}

}  // namespace Velantor
