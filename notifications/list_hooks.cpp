// The notification list: it fades out while quiet mode is on.
#include "core/hooks.h"
#include "platform/message.h"

namespace quelline {

IMP hostListViewDidLoad;

void replacedListViewDidLoad(id self, SEL _cmd) {
  platform::callSlot<void>(hostListViewDidLoad, self, _cmd);
}

void listHide(id, SEL) {}
void listUnhide(id, SEL) {}

} // namespace quelline
