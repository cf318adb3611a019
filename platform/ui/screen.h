#pragma once

namespace ui {

// The primary screen's logical pixels per inch; 96 when no graphical application runs
// (tools and tests without a display), the value the layouts were designed at.
int ScreenPixelsPerInch();

}  // namespace ui
