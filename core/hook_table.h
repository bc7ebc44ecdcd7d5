// The hook table: every replacement and addition the library makes to the
// host's classes, in installation order. Exported, so that the simulator
// can show what was installed.
#pragma once

#include "platform/objc.h"

#include <stdint.h>

enum class QuellineHookOp : uint8_t { Replace, Add };

// The home screens a row applies to, as bits: where a class or a selector
// changed between them, the table holds one row for each.
enum QuellineHookTarget : uint8_t {
  kHookTargetIOS11 = 1, // iOS 11 and 12
  kHookTargetIOS15 = 2, // iOS 15 and 16
  kHookTargetAll = kHookTargetIOS11 | kHookTargetIOS15,
};

struct QuellineHookRow {
  const char* className;
  bool onMetaclass; // a class method: hooked on the class's metaclass
  const char* selector;
  QuellineHookOp op;
  uint8_t targets;   // QuellineHookTarget bits
  IMP (*routine)();  // the replacing or implementing routine
  IMP* slot;         // replace rows: where the host implementation goes
  const char* types; // add rows: the method's type string
};

extern "C" {
extern const QuellineHookRow QuellineHookTable[];
extern const uint32_t QuellineHookTableSize;
// The target the running system was found to be, once the table is
// installed (0 before, and on a system that is neither).
extern uint8_t QuellineHookTableTarget;
}

namespace quelline {
// The target of the running system, from CoreFoundation's version number,
// never from which classes are there: a missing row is skipped without a
// word, so a home screen taken for the wrong generation would half work.
// 0 for a system of neither.
uint8_t runningHookTarget();
// Installs every row of the running target, in order. A row whose class is
// missing, or a replacement whose class does not answer the selector, is
// skipped (its slot stays null); the other rows are installed all the same.
void installHookTable();
} // namespace quelline
