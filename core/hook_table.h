// The hook table: every replacement and addition the library makes to the
// host's classes, in installation order. Exported, so that the simulator
// can show what was installed.
#pragma once

#include "platform/objc.h"

#include <stdint.h>

enum class QuellineHookOp : uint8_t { Replace, Add };

struct QuellineHookRow {
  const char* className;
  bool onMetaclass; // a class method: hooked on the class's metaclass
  const char* selector;
  QuellineHookOp op;
  IMP (*routine)();  // the replacing or implementing routine
  IMP* slot;         // replace rows: where the host implementation goes
  const char* types; // add rows: the method's type string
};

extern "C" {
extern const QuellineHookRow QuellineHookTable[];
extern const uint32_t QuellineHookTableSize;
}

namespace quelline {
// Installs every row, in order. A row whose class is missing, or a
// replacement whose class does not answer the selector, is skipped (its slot
// stays null); the other rows are installed all the same.
void installHookTable();
} // namespace quelline
