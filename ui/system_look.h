#pragma once
// The system's settings the updater's look follows, read afresh at each call.
#include "ui/look.h"

namespace pw {

// Whether High Contrast is on (SPI_GETHIGHCONTRAST). Alone in its file: the test
// links put a scripted one in its place.
bool high_contrast_on() noexcept;
// Whether the user's apps are set to dark (AppsUseLightTheme is 0); false where
// the system has no such setting.
bool apps_use_dark_theme() noexcept;
SystemColors read_system_colors() noexcept;
// The look those settings ask for.
Look current_look() noexcept;

}  // namespace pw
