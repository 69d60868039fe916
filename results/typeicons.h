#pragma once

// The icon of a device's type, shown at the start of its row: the desktop
// theme's where it has one (freedesktop names), else one of the program's
// own, drawn for each size asked on the pixel grid, so that it is sharp at
// 16 and 32 pixels (1x and 2x), in the colours of the palette.

#include "identify/identity.h"

#include <QIcon>

// The icon of a device's row: a computer for the machine's own, the type's
// icon for a known type, and none (a null icon) for a device of unknown type.
QIcon TypeIcon(const identify::Identity &identity);

// The theme's icon of a type where the theme has one, else DrawnTypeIcon.
QIcon TypeIcon(identify::DeviceType type);

// The program's own icon of a type, whatever the theme (Windows has none);
// a null icon for Unknown.
QIcon DrawnTypeIcon(identify::DeviceType type);
