// AudioToolbox: system sounds and alert sounds by their identifiers.
#pragma once

#include <stdint.h>

typedef uint32_t SystemSoundID;

extern "C" {
void AudioServicesPlaySystemSound(SystemSoundID inSystemSoundID);
void AudioServicesPlayAlertSound(SystemSoundID inSystemSoundID);
}
