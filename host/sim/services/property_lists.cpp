// Stub until the property lists land.
#include "services/property_lists.h"
namespace hostsim {
void registerPropertyLists() {}
Strong parsePropertyList(std::span<const uint8_t>) { return {}; }
Strong readDictionaryFile(std::string_view, bool) { return {}; }
bool writePropertyListFile(id, std::string_view, bool) { return false; }
} // namespace hostsim
