#pragma once

// Reading and writing a form's placement, and the names it is stored under.
//
// A section of a stored placement (registry values or INI entries):
//   Flags                      integer, window-placement flags
//   ShowCmd                    integer, 0 hidden, 1 normal, 2 minimised, 3 maximised
//   PixelsPerInch              integer, the screen's density when saved
//   MinMaxPos, MinMaxPos(WxH)  "%d,%d,%d,%d": minimised x, y, maximised x, y
//   NormPos, NormPos(WxH)      "%d,%d,%d,%d": normal left, top, right, bottom
// The suffixed names carry the screen's size in pixels; both forms are written
// and the suffixed one is read first, so a placement survives a screen change.

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

class QWidget;

namespace platform::config {
class TIniFile;
class TRegIniFile;
}  // namespace platform::config

namespace support {

// The storage a placement goes to: an INI file, the registry, or nothing (reads
// give their defaults and writes do nothing).
using IniObject =
    std::variant<std::monostate, platform::config::TIniFile*, platform::config::TRegIniFile*>;

std::string IniReadString(IniObject ini, std::string_view section, std::string_view ident,
                          std::string_view default_value);
// On an INI file a value held in one pair of double or single quotes is written
// inside one more pair of double quotes, so that reading gives it back whole.
void IniWriteString(IniObject ini, std::string_view section, std::string_view ident,
                    std::string_view value);
std::int32_t IniReadInteger(IniObject ini, std::string_view section, std::string_view ident,
                            std::int32_t default_value);
void IniWriteInteger(IniObject ini, std::string_view section, std::string_view ident,
                     std::int32_t value);
bool IniReadBool(IniObject ini, std::string_view section, std::string_view ident,
                 bool default_value);
void IniWriteBool(IniObject ini, std::string_view section, std::string_view ident, bool value);

// The program file's name without folder or extension ("corvane").
std::string ProgramBaseName();
// "Software\" and the program's base name: the registry key of placements.
std::string GetDefaultIniRegKey();
// The program's base name with ".INI": the INI file of placements.
std::string GetDefaultIniName();
// The class name of a widget's most derived class, without namespaces. A widget
// may name its class itself with the dynamic property "ClassName".
std::string FormClassName(const QWidget* widget);
// A form's class name; for a control, its form's class name followed by its
// object name (or its parent's name and its own without a form).
std::string GetDefaultSection(const QWidget* component);

// The window placement of a top-level widget (the platform's record).
struct TWindowPlacement {
    std::uint32_t flags = 0;
    std::uint32_t showCmd = 1;
    std::int32_t minX = -1, minY = -1, maxX = -1, maxY = -1;
    std::int32_t left = 0, top = 0, right = 0, bottom = 0;
};
inline constexpr std::uint32_t WPF_SETMINPOSITION = 1;

TWindowPlacement GetWindowPlacement(const QWidget* form);
void SetWindowPlacement(QWidget* form, const TWindowPlacement& placement);
// Sets only the maximised position of the placement.
void SetMaximizedPosition(QWidget* form, std::int32_t x, std::int32_t y);

// The class library's form properties that a placement reads. A form states
// them with the dynamic properties "BorderStyle" and "Position" (ints of these
// enumerations); without them a fixed-size window counts as a single border and
// a resizable one as sizeable, and the position as designed.
enum class TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
enum class TPosition { poDesigned, poDefault, poDefaultPosOnly, poDefaultSizeOnly, poScreenCenter };
TFormBorderStyle FormBorderStyle(const QWidget* form);
TPosition FormPosition(const QWidget* form);

// The application's main form, when it has one.
void SetApplicationMainForm(QWidget* form);
QWidget* ApplicationMainForm();

// Current screen metrics of the form's screen.
int ScreenPixelsPerInch(const QWidget* form);
std::string ScreenSizeSuffix(const QWidget* form);  // "(1024x768)"

void StoreFormPlacement(QWidget* form, IniObject ini, std::string_view section);
void LoadFormPlacement(QWidget* form, IniObject ini, std::string_view section, bool load_state,
                       bool load_position);

}  // namespace support
