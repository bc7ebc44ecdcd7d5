#include "services/views.h"
namespace hostsim {
void registerViews() {}
void resetViews() {}
}
