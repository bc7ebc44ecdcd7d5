// Banners: the preview views of short-look controllers.
#include "core/hooks.h"
#include "platform/message.h"

namespace quelline {

IMP hostShortLookInit;
IMP hostViewForPreview;

id replacedShortLookInit(id self, SEL _cmd, id request, BOOL reveal) {
  return platform::callSlot<id>(hostShortLookInit, self, _cmd, request, reveal);
}

id replacedViewForPreview(id self, SEL _cmd) {
  return platform::callSlot<id>(hostViewForPreview, self, _cmd);
}

void shortLookHideBanner(id, SEL) {}
void shortLookUnHideBanner(id, SEL) {}

} // namespace quelline
