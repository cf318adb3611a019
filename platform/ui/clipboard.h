#pragma once

// The clipboard's text. Lines are joined with CR LF, as other programs expect.

#include <span>
#include <string>
#include <string_view>

namespace ui {

void SetClipboardText(std::string_view text);
std::string ClipboardText();
// The lines joined with CR LF, with a CR LF after the last as a string list's text has.
std::string JoinLinesCrLf(std::span<const std::string> lines);

}  // namespace ui
