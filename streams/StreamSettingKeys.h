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

// Whether the volume chosen by index is one of those the system reported;
// when it is not, says so with the choices, since tracking on in another
// volume than the one asked for would mislead. A system that reported none
// leaves the choice unchecked.
bool volumeIsOffered(int maxRange, const std::vector<std::string>& options);

}  // namespace StreamSettingKeys
}  // namespace Velantor
