#include "services/notification_center.h"
namespace hostsim {
void registerNotificationCenter() {}
void resetNotificationCenter() {}
size_t liveRegistrations(std::string_view) { return 0; }
}
