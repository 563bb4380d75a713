#pragma once

// libnuvdesktop: the accessibility permission, the accessibility window
// wrapper and the screen pixel colour sampler.
#include <nuvdesktop/AccessibilityWrapper.h>
#include <nuvdesktop/OrbAccessibility.h>
#include <nuvdesktop/Pixelwatcher.h>
#include <nuvdesktop/Types.h>
