// Stub until the app lists land.
#include "services/app_lists.h"
namespace hostsim {
void registerAppLists() {}
void resetAppLists() {}
} // namespace hostsim
