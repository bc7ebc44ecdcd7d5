// Stub until the preferences land.
#include "services/preferences.h"
namespace hostsim {
void registerPreferences(std::string) {}
void resetPreferences() {}
} // namespace hostsim
