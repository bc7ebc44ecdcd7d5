// Stub until the Darwin notify center lands.
#include "services/darwin_notify.h"
namespace hostsim {
void startDarwinNotifyCenter() {}
void stopDarwinNotifyCenter() {}
} // namespace hostsim
