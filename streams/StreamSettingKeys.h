#pragma once
// Configuration keys every NDI stream reads and writes the same way, whatever
// its base class: the tracking-volume choice and the keys old workspaces
// still carry.
#include <string>
#include <vector>

namespace Velantor {

class Properties;

namespace StreamSettingKeys {

// Choices are shown as one text: the options joined with ", ".
std::string joinOptions(const std::vector<std::string>& options);

// Warns, once per key present, that "startAfterInit" and "blockingInit" are
// no longer used.
void warnAboutRemovedKeys(const Properties& p);

// Writes "maxRange" as a choice among options; nothing while there are none
// (before the system reported its volumes).
void writeMaxRange(Properties& p, int maxRange, const std::vector<std::string>& options);

}  // namespace StreamSettingKeys
}  // namespace Velantor
