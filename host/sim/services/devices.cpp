#include "services/devices.h"
namespace hostsim {
void registerDeviceServices() {}
void resetDeviceServices() {}
}
