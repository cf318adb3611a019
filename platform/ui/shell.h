#pragma once

// Opening documents, web pages and mail addresses with the desktop's programs, and the
// program's help: each help context is an installed HTML page opened in the browser.
// Tests install an opener that records what would have been opened.

#include <functional>
#include <string>
#include <string_view>

namespace ui {

// Opens an http, https or mailto address, or a file, with the desktop's program. False
// when nothing could open it.
bool ShellOpen(std::string_view target);

// Opens a file for editing (the shell's "edit" verb): the command in $VISUAL,
// else in $EDITOR (either may carry arguments; the file is added as the last
// one), else the desktop's program for the file. Does not wait for the
// editor. False when nothing could be started.
bool ShellEdit(std::string_view file);

// Replaces the desktop's opener (tests); an empty function restores it.
void SetShellOpener(std::function<bool(const std::string& url)> opener);

// The folder of the installed help pages.
void SetHelpFolder(std::string_view folder);
std::string HelpFolder();
// The page of a help context: "<folder>/context-<n>.html"; context 0 (or a missing page)
// is the index page "<folder>/index.html".
std::string HelpPage(int context);
// Opens the page of a help context; when no browser can show it, says where the page is,
// also when the desktop's opener started and then failed (the box comes when it ends).
bool OpenHelp(int context);

}  // namespace ui
