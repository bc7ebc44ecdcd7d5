// Compiled freestanding: every contract header must stand without a library.
#include "platform/platform.h"

namespace {
void probe(id view) {
  platform::UIView::setAlpha(view, platform::UIView::alpha(view));
  (void)platform::msgSend<BOOL>(view, platform::sel("isHidden"));
}
} // namespace

extern void (*const probeEntry)(id);
void (*const probeEntry)(id) = probe;
