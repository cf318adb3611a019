#include "support/app_utils.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <QVariant>
#include <QWidget>

#include <cxxabi.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <typeinfo>

#include "platform/config/ini_file.h"
#include "platform/config/reg_ini_file.h"
#include "support/one_instance.h"
#include "support/str_utils.h"

namespace support {

namespace {

constexpr std::string_view kDelimiters = " ,";
constexpr const char* kMinPosProperty = "corvane_min_position";
constexpr const char* kMaxPosProperty = "corvane_max_position";

QPointer<QWidget>& MainFormHolder() {
    static QPointer<QWidget> main_form;
    return main_form;
}

bool Quoted(std::string_view value) {
    return value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                                 (value.front() == '\'' && value.back() == '\''));
}

// Word n of a position text as a number; a missing or invalid word gives
// fallback.
std::int32_t WordValue(std::string_view text, std::size_t n, std::int32_t fallback) {
    const std::string word = ExtractWord(n, text, kDelimiters);
    if (word.empty())
        return fallback;
    char* end = nullptr;
    const long value = std::strtol(word.c_str(), &end, 10);
    if (end == nullptr || *end != 0 || value < INT32_MIN || value > INT32_MAX)
        return 0;
    return static_cast<std::int32_t>(value);
}

std::string FourNumbers(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) {
    char text[64];
    std::snprintf(text, sizeof text, "%d,%d,%d,%d", a, b, c, d);
    return text;
}

QScreen* ScreenOf(const QWidget* form) {
    QScreen* screen = form != nullptr ? form->screen() : nullptr;
    return screen != nullptr ? screen : QGuiApplication::primaryScreen();
}

// a + b, held at the ends of the 32-bit range: stored positions may be anything.
std::int32_t SaturatedSum(std::int32_t a, std::int64_t b) {
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(std::int64_t{a} + b, INT32_MIN, INT32_MAX));
}

// The normal rectangle a placement asks for, kept usable as the window manager
// would keep it: never larger than the desktop, and brought back onto the
// form's screen when it would lie wholly off every screen (a placement saved
// with a screen that is gone, or a damaged one).
QRect UsableRect(const QWidget* form, std::int64_t left, std::int64_t top, std::int64_t width,
                 std::int64_t height) {
    QScreen* screen = ScreenOf(form);
    if (screen == nullptr) {
        return QRect(static_cast<int>(left), static_cast<int>(top),
                     static_cast<int>(std::min<std::int64_t>(width, QWIDGETSIZE_MAX)),
                     static_cast<int>(std::min<std::int64_t>(height, QWIDGETSIZE_MAX)));
    }
    const QRect desktop = screen->virtualGeometry();
    width = std::min<std::int64_t>(width, std::max(desktop.width(), 1));
    height = std::min<std::int64_t>(height, std::max(desktop.height(), 1));
    bool visible = false;
    for (const QScreen* each : QGuiApplication::screens()) {
        const QRect area = each->availableGeometry();
        visible =
            visible || (left < std::int64_t{area.x()} + area.width() && left + width > area.x() &&
                        top < std::int64_t{area.y()} + area.height() && top + height > area.y());
    }
    if (!visible) {
        const QRect area = screen->availableGeometry();
        left = std::clamp<std::int64_t>(
            left, area.x(), std::max<std::int64_t>(area.x(), area.x() + area.width() - width));
        top = std::clamp<std::int64_t>(
            top, area.y(), std::max<std::int64_t>(area.y(), area.y() + area.height() - height));
    }
    return QRect(static_cast<int>(left), static_cast<int>(top), static_cast<int>(width),
                 static_cast<int>(height));
}

bool IsMainForm(const QWidget* form) {
    QWidget* main_form = ApplicationMainForm();
    return main_form == nullptr || main_form == form;
}

// The suffixed value when present and not empty, else the plain one.
std::string ReadPosText(IniObject ini, std::string_view section, const std::string& name,
                        const std::string& suffix) {
    std::string text = IniReadString(ini, section, name + suffix, "");
    if (text.empty())
        text = IniReadString(ini, section, name, "");
    return text;
}

}  // namespace

std::string IniReadString(IniObject ini, std::string_view section, std::string_view ident,
                          std::string_view default_value) {
    if (auto* file = std::get_if<platform::config::TIniFile*>(&ini); file && *file)
        return (*file)->ReadString(section, ident, default_value);
    if (auto* reg = std::get_if<platform::config::TRegIniFile*>(&ini); reg && *reg)
        return (*reg)->ReadString(section, ident, default_value);
    return std::string(default_value);
}

void IniWriteString(IniObject ini, std::string_view section, std::string_view ident,
                    std::string_view value) {
    if (auto* file = std::get_if<platform::config::TIniFile*>(&ini); file && *file) {
        if (Quoted(value))
            (*file)->WriteString(section, ident, "\"" + std::string(value) + "\"");
        else
            (*file)->WriteString(section, ident, value);
    } else if (auto* reg = std::get_if<platform::config::TRegIniFile*>(&ini); reg && *reg) {
        (*reg)->WriteString(section, ident, value);
    }
}

std::int32_t IniReadInteger(IniObject ini, std::string_view section, std::string_view ident,
                            std::int32_t default_value) {
    if (auto* file = std::get_if<platform::config::TIniFile*>(&ini); file && *file)
        return (*file)->ReadInteger(section, ident, default_value);
    if (auto* reg = std::get_if<platform::config::TRegIniFile*>(&ini); reg && *reg)
        return (*reg)->ReadInteger(section, ident, default_value);
    return default_value;
}

void IniWriteInteger(IniObject ini, std::string_view section, std::string_view ident,
                     std::int32_t value) {
    if (auto* file = std::get_if<platform::config::TIniFile*>(&ini); file && *file)
        (*file)->WriteInteger(section, ident, value);
    else if (auto* reg = std::get_if<platform::config::TRegIniFile*>(&ini); reg && *reg)
        (*reg)->WriteInteger(section, ident, value);
}

bool IniReadBool(IniObject ini, std::string_view section, std::string_view ident,
                 bool default_value) {
    if (auto* file = std::get_if<platform::config::TIniFile*>(&ini); file && *file)
        return (*file)->ReadBool(section, ident, default_value);
    if (auto* reg = std::get_if<platform::config::TRegIniFile*>(&ini); reg && *reg)
        return (*reg)->ReadBool(section, ident, default_value);
    return default_value;
}

void IniWriteBool(IniObject ini, std::string_view section, std::string_view ident, bool value) {
    if (auto* file = std::get_if<platform::config::TIniFile*>(&ini); file && *file)
        (*file)->WriteBool(section, ident, value);
    else if (auto* reg = std::get_if<platform::config::TRegIniFile*>(&ini); reg && *reg)
        (*reg)->WriteBool(section, ident, value);
}

std::string ProgramBaseName() {
    std::string name = TOneInstance::ExecutableName();
    if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

std::string GetDefaultIniRegKey() {
    return "Software\\" + ProgramBaseName();
}

std::string GetDefaultIniName() {
    return ProgramBaseName() + ".INI";
}

std::string FormClassName(const QWidget* widget) {
    if (widget == nullptr)
        return {};
    if (const QVariant named = widget->property("ClassName"); named.isValid())
        return named.toString().toStdString();
    const char* mangled = typeid(*widget).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    std::string name = status == 0 && demangled ? demangled.get() : mangled;
    if (const auto colon = name.rfind("::"); colon != std::string::npos)
        name.erase(0, colon + 2);
    return name;
}

std::string GetDefaultSection(const QWidget* component) {
    if (component == nullptr)
        return {};
    if (component->isWindow())
        return FormClassName(component);
    const std::string name = component->objectName().toStdString();
    if (const QWidget* form = component->window(); form != nullptr && form != component)
        return FormClassName(form) + name;
    if (const QWidget* parent = component->parentWidget())
        return parent->objectName().toStdString() + name;
    return name;
}

TWindowPlacement GetWindowPlacement(const QWidget* form) {
    TWindowPlacement placement;
    if (form->isMinimized())
        placement.showCmd = 2;
    else if (form->isMaximized())
        placement.showCmd = 3;
    else
        placement.showCmd = form->isVisible() ? 1 : 0;
    // Positions are the frame's, as the window manager places windows; sizes
    // are the client area's, as the form sets them.
    QRect normal = form->geometry();
    if (form->isWindow() && (form->isMaximized() || form->isMinimized()) &&
        !form->normalGeometry().isEmpty())
        normal = form->normalGeometry();
    const QPoint frame_offset = form->geometry().topLeft() - form->pos();
    normal.translate(-frame_offset);
    placement.left = normal.x();
    placement.top = normal.y();
    placement.right = normal.x() + normal.width();
    placement.bottom = normal.y() + normal.height();
    if (const QVariant min = form->property(kMinPosProperty); min.isValid()) {
        const QPoint p = min.toPoint();
        placement.minX = p.x();
        placement.minY = p.y();
    }
    if (const QVariant max = form->property(kMaxPosProperty); max.isValid()) {
        const QPoint p = max.toPoint();
        placement.maxX = p.x();
        placement.maxY = p.y();
    }
    return placement;
}

void SetWindowPlacement(QWidget* form, const TWindowPlacement& placement) {
    form->setProperty(kMinPosProperty, QPoint(placement.minX, placement.minY));
    form->setProperty(kMaxPosProperty, QPoint(placement.maxX, placement.maxY));
    const std::int64_t width = std::int64_t{placement.right} - placement.left;
    const std::int64_t height = std::int64_t{placement.bottom} - placement.top;
    const Qt::WindowStates state = form->windowState();
    if (width > 0 && height > 0) {
        const QRect normal = UsableRect(form, placement.left, placement.top, width, height);
        // The normal rectangle is the one a window returns to; set it in the
        // normal state.
        if (state & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen))
            form->setWindowState(Qt::WindowNoState);
        form->move(normal.topLeft());
        form->resize(normal.size());
        if (state != form->windowState())
            form->setWindowState(state);
    }
    if (!form->isVisible())
        return;
    switch (placement.showCmd) {
        case 0:
            break;
        case 2:
        case 6:
        case 7:
            form->showMinimized();
            break;
        case 3:
            form->showMaximized();
            break;
        default:
            if (form->windowState() != Qt::WindowNoState)
                form->showNormal();
            break;
    }
}

void SetMaximizedPosition(QWidget* form, std::int32_t x, std::int32_t y) {
    form->setProperty(kMaxPosProperty, QPoint(x, y));
}

TFormBorderStyle FormBorderStyle(const QWidget* form) {
    if (const QVariant style = form->property("BorderStyle"); style.isValid())
        return static_cast<TFormBorderStyle>(style.toInt());
    const bool fixed = form->minimumSize() == form->maximumSize();
    return fixed ? TFormBorderStyle::bsSingle : TFormBorderStyle::bsSizeable;
}

TPosition FormPosition(const QWidget* form) {
    if (const QVariant position = form->property("Position"); position.isValid())
        return static_cast<TPosition>(position.toInt());
    return TPosition::poDesigned;
}

void SetApplicationMainForm(QWidget* form) {
    MainFormHolder() = form;
}

QWidget* ApplicationMainForm() {
    return MainFormHolder().data();
}

int ScreenPixelsPerInch(const QWidget* form) {
    QScreen* screen = ScreenOf(form);
    return screen != nullptr ? static_cast<int>(std::lround(screen->logicalDotsPerInch())) : 96;
}

std::string ScreenSizeSuffix(const QWidget* form) {
    QScreen* screen = ScreenOf(form);
    const QSize size = screen != nullptr ? screen->size() : QSize(0, 0);
    char text[48];
    std::snprintf(text, sizeof text, "(%dx%d)", size.width(), size.height());
    return text;
}

void StoreFormPlacement(QWidget* form, IniObject ini, std::string_view section) {
    TWindowPlacement placement = GetWindowPlacement(form);
    QWidget* main_form = ApplicationMainForm();
    if (main_form == form && form->isMinimized())
        placement.showCmd = 2;
    const std::string suffix = ScreenSizeSuffix(form);
    const std::string min_max =
        FourNumbers(placement.minX, placement.minY, placement.maxX, placement.maxY);
    const std::string norm_pos =
        FourNumbers(placement.left, placement.top, placement.right, placement.bottom);
    IniWriteInteger(ini, section, "Flags", static_cast<std::int32_t>(placement.flags));
    IniWriteInteger(ini, section, "ShowCmd", static_cast<std::int32_t>(placement.showCmd));
    IniWriteInteger(ini, section, "PixelsPerInch", ScreenPixelsPerInch(form));
    IniWriteString(ini, section, "MinMaxPos", min_max);
    IniWriteString(ini, section, "MinMaxPos" + suffix, min_max);
    IniWriteString(ini, section, "NormPos", norm_pos);
    IniWriteString(ini, section, "NormPos" + suffix, norm_pos);
}

void LoadFormPlacement(QWidget* form, IniObject ini, std::string_view section, bool load_state,
                       bool load_position) {
    if (!load_state && !load_position)
        return;
    TWindowPlacement placement = GetWindowPlacement(form);
    if (!form->isVisible())
        placement.showCmd = 0;
    if (load_position) {
        const std::string suffix = ScreenSizeSuffix(form);
        placement.flags = static_cast<std::uint32_t>(
            IniReadInteger(ini, section, "Flags", static_cast<std::int32_t>(placement.flags)));
        bool found = false;
        const std::string min_max = ReadPosText(ini, section, "MinMaxPos", suffix);
        if (!min_max.empty()) {
            found = true;
            placement.minX = WordValue(min_max, 1, 0);
            placement.minY = WordValue(min_max, 2, 0);
            placement.maxX = WordValue(min_max, 3, 0);
            placement.maxY = WordValue(min_max, 4, 0);
        }
        const std::string norm_pos = ReadPosText(ini, section, "NormPos", suffix);
        if (!norm_pos.empty()) {
            found = true;
            const QRect bounds(form->pos(), form->size());
            placement.left = WordValue(norm_pos, 1, bounds.x());
            placement.top = WordValue(norm_pos, 2, bounds.y());
            // A missing right or bottom keeps the form's size at the stored left
            // and top, not its current right edge.
            placement.right = WordValue(norm_pos, 3, SaturatedSum(placement.left, bounds.width()));
            placement.bottom = WordValue(norm_pos, 4, SaturatedSum(placement.top, bounds.height()));
        }
        if (IniReadInteger(ini, section, "PixelsPerInch", ScreenPixelsPerInch(form)) !=
            ScreenPixelsPerInch(form))
            found = false;
        if (found) {
            const TFormBorderStyle border = FormBorderStyle(form);
            if (border != TFormBorderStyle::bsSizeable &&
                border != TFormBorderStyle::bsSizeToolWin) {
                placement.right = SaturatedSum(placement.left, form->width());
                placement.bottom = SaturatedSum(placement.top, form->height());
            }
            if (placement.right > placement.left) {
                if (FormPosition(form) == TPosition::poScreenCenter)
                    form->setProperty("Position", static_cast<int>(TPosition::poDesigned));
                SetWindowPlacement(form, placement);
            }
        }
    }
    if (load_state) {
        enum class State { normal, minimised, maximised };
        State state = State::normal;
        const bool main_form = IsMainForm(form);
        if (main_form && FormPosition(form) == TPosition::poDefault)
            state = State::maximised;
        switch (IniReadInteger(ini, section, "ShowCmd", 0)) {
            case 1:
            case 5:
            case 9:
                state = State::normal;
                break;
            case 2:
            case 6:
            case 7:
                state = State::minimised;
                break;
            case 3:
                state = State::maximised;
                break;
            default:
                break;
        }
        if (state == State::minimised && main_form) {
            form->setWindowState(Qt::WindowNoState);
            QPointer<QWidget> guarded(form);
            QMetaObject::invokeMethod(
                form,
                [guarded] {
                    if (guarded)
                        guarded->showMinimized();
                },
                Qt::QueuedConnection);
            return;
        }
        form->setWindowState(state == State::maximised   ? Qt::WindowMaximized
                             : state == State::minimised ? Qt::WindowMinimized
                                                         : Qt::WindowNoState);
    }
    form->update();
}

}  // namespace support
