// The whole platform contract.
#pragma once

#include "platform/audiotoolbox.h"
#include "platform/corefoundation.h"
#include "platform/dispatch.h"
#include "platform/filelock.h"
#include "platform/foundation.h"
#include "platform/message.h"
#include "platform/objc.h"
#include "platform/sparkapplist.h"
#include "platform/uikit.h"
