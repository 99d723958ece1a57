#include <ndisim/Faults.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace ndisim {

bool Faults::operator==(const Faults& o) const
{
    return corruptCrcEvery == o.corruptCrcEvery && dropEvery == o.dropEvery &&
           delayMs == o.delayMs && delayEvery == o.delayEvery && splitBytes == o.splitBytes &&
           splitPauseMs == o.splitPauseMs && garbageEvery == o.garbageEvery &&
           disconnectAfterFrames == o.disconnectAfterFrames && ignoreComm == o.ignoreComm &&
           errorAllCode == o.errorAllCode && silent == o.silent;
}

namespace {

bool parseCount(const std::string& text, int& out, int minimum)
{
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    int value = std::atoi(text.c_str());
    if (value < minimum) return false;
    out = value;
    return true;
}

bool parsePair(const std::string& text, int& first, int& second, bool secondOptional,
               int firstMinimum)
{
    const auto slash = text.find('/');
    if (slash == std::string::npos) {
        return secondOptional && parseCount(text, first, firstMinimum);
    }
    return parseCount(text.substr(0, slash), first, firstMinimum) &&
           parseCount(text.substr(slash + 1), second, 0);
}

// Two hex digits, as the code appears in the reply; 00 would read as no error.
bool parseErrorCode(const std::string& text, int& out)
{
    if (text.size() != 2 || !std::isxdigit(static_cast<unsigned char>(text[0])) ||
        !std::isxdigit(static_cast<unsigned char>(text[1])))
        return false;
    const int value = static_cast<int>(std::strtol(text.c_str(), nullptr, 16));
    if (value == 0) return false;
    out = value;
    return true;
}

}  // namespace

std::string applyFaultItem(const std::string& item, Faults& f)
{
    const auto eq = item.find('=');
    const std::string name = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    Faults next = f;
    bool ok = false;
    if (name == "corrupt-crc") {
        ok = parseCount(value, next.corruptCrcEvery, 1);
    } else if (name == "drop") {
        ok = parseCount(value, next.dropEvery, 1);
    } else if (name == "delay") {
        next.delayEvery = 1;
        ok = parsePair(value, next.delayMs, next.delayEvery, true, 0) && next.delayEvery >= 1;
    } else if (name == "split") {
        ok = parsePair(value, next.splitBytes, next.splitPauseMs, true, 1);
    } else if (name == "garbage") {
        ok = parseCount(value, next.garbageEvery, 1);
    } else if (name == "disconnect") {
        ok = parseCount(value, next.disconnectAfterFrames, 1);
    } else if (name == "ignore-comm") {
        next.ignoreComm = true;
        ok = value.empty();
    } else if (name == "error-all") {
        next.errorAllCode = kDefaultErrorAllCode;
        ok = eq == std::string::npos || parseErrorCode(value, next.errorAllCode);
    } else if (name == "silent") {
        next.silent = true;
        ok = value.empty();
    } else if (name == "none") {
        next = Faults{};
        ok = value.empty();
    } else {
        return "unknown fault '" + name + "'";
    }
    if (!ok) {
        return "bad value in fault '" + item + "'";
    }
    f = next;
    return {};
}

std::string describeFaults(const Faults& f)
{
    std::ostringstream out;
    if (f.corruptCrcEvery) out << " corrupt-crc=" << f.corruptCrcEvery;
    if (f.dropEvery) out << " drop=" << f.dropEvery;
    if (f.delayMs) out << " delay=" << f.delayMs << '/' << f.delayEvery;
    if (f.splitBytes) out << " split=" << f.splitBytes << '/' << f.splitPauseMs;
    if (f.garbageEvery) out << " garbage=" << f.garbageEvery;
    if (f.disconnectAfterFrames) out << " disconnect=" << f.disconnectAfterFrames;
    if (f.ignoreComm) out << " ignore-comm";
    if (f.errorAllCode) {
        char code[3];
        std::snprintf(code, sizeof code, "%02X", static_cast<unsigned>(f.errorAllCode & 0xFF));
        out << " error-all=" << code;
    }
    if (f.silent) out << " silent";
    const std::string text = out.str();
    return text.empty() ? "none" : text.substr(1);
}

}  // namespace ndisim
