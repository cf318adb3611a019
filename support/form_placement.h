#pragma once

// `TFormPlacement`: remembers where its form was and how it was shown, in the
// registry or an INI file (see app_utils.h for the values), restoring that when
// the form is shown and saving it when the form closes or goes away. It can also
// hold the form to minimum and maximum sizes, or forbid resizing.
//
// It watches the form through a window hook: the show event restores, an
// accepted close saves. The save that the class library makes when the form is
// destroyed happens in `FormDestroy`, which the placement's destructor calls
// when the form still exists and the form may call earlier.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <QPointer>
#include <QWidget>

#include "platform/db/component.h"
#include "platform/db/object.h"
#include "platform/db/persistent.h"
#include "platform/db/set_of.h"
#include "support/app_utils.h"
#include "support/window_hook.h"

namespace platform::config {
class TIniFile;
class TRegIniFile;
}  // namespace platform::config

namespace support {

class TFormPlacement;
class QtHookTarget;

// Size limits of a form; 0 means not set.
class TWinMinMaxInfo : public db::TPersistent {
  public:
    explicit TWinMinMaxInfo(TFormPlacement* owner) : owner_(owner) {}

    std::int32_t MaxPosLeft() const { return values_[0]; }
    std::int32_t MaxPosTop() const { return values_[1]; }
    std::int32_t MaxSizeHeight() const { return values_[2]; }
    std::int32_t MaxSizeWidth() const { return values_[3]; }
    std::int32_t MaxTrackHeight() const { return values_[4]; }
    std::int32_t MaxTrackWidth() const { return values_[5]; }
    std::int32_t MinTrackHeight() const { return values_[6]; }
    std::int32_t MinTrackWidth() const { return values_[7]; }
    void SetMaxPosLeft(std::int32_t v) { Set(0, v); }
    void SetMaxPosTop(std::int32_t v) { Set(1, v); }
    void SetMaxSizeHeight(std::int32_t v) { Set(2, v); }
    void SetMaxSizeWidth(std::int32_t v) { Set(3, v); }
    void SetMaxTrackHeight(std::int32_t v) { Set(4, v); }
    void SetMaxTrackWidth(std::int32_t v) { Set(5, v); }
    void SetMinTrackHeight(std::int32_t v) { Set(6, v); }
    void SetMinTrackWidth(std::int32_t v) { Set(7, v); }

    bool DefaultMinMaxInfo() const;
    void Assign(const db::TPersistent& source) override;

  private:
    void Set(int index, std::int32_t value);
    TFormPlacement* owner_;
    std::int32_t values_[8] = {};
};

enum TPlacementOption : std::uint8_t { fpState, fpPosition, fpActiveControl };
using TPlacementOptions = db::SetOf<TPlacementOption>;

using TNotifyEvent = std::function<void(db::TObject* sender)>;

class TFormPlacement : public db::TComponent {
  public:
    // `form` is the form the placement belongs to (its owner form in the class
    // library); nullptr leaves it without a form.
    TFormPlacement(db::TComponent* owner, QWidget* form);
    ~TFormPlacement() override;

    QWidget* Form() const { return form_.data(); }

    bool Active() const { return active_; }
    void SetActive(bool value) { active_ = value; }
    // Empty means the default name (GetDefaultIniName).
    std::string IniFileName() const;
    void SetIniFileName(std::string_view value) { ini_file_name_ = value; }
    // Empty means the form's default section (its class name).
    std::string IniSection() const;
    void SetIniSection(std::string_view value) { ini_section_ = value; }
    TWinMinMaxInfo& MinMaxInfo() { return min_max_info_; }
    void SetMinMaxInfo(const TWinMinMaxInfo& value) { min_max_info_.Assign(value); }
    TPlacementOptions Options() const { return options_; }
    void SetOptions(TPlacementOptions value) { options_ = value; }
    bool PreventResize() const { return prevent_resize_; }
    void SetPreventResize(bool value);
    bool UseRegistry() const { return use_registry_; }
    void SetUseRegistry(bool value) { use_registry_ = value; }

    TNotifyEvent OnSavePlacement;
    TNotifyEvent OnRestorePlacement;

    // Hooks the form (unless designing).
    void Loaded() override;

    void SaveFormPlacement();
    void RestoreFormPlacement();
    // The form's destroy step: saves unless a save ran since the last restore.
    void FormDestroy();

    bool Restored() const { return restored_; }
    bool Saved() const { return saved_; }

  protected:
    virtual void WritePlacementValues(IniObject ini, std::string_view section);
    virtual void ReadPlacementValues(IniObject ini, std::string_view section);

  private:
    friend class TWinMinMaxInfo;
    void FormShow();
    void FormCloseQuery(bool accepted);
    void UpdatePlacement();
    void CheckToggleHook();
    void AfterMessage(TMessage& msg, bool& handled);
    void BeforeMessage(TMessage& msg, bool& handled);
    // Runs fn with the storage object open.
    void WithStorage(const std::function<void(IniObject, const std::string&)>& fn);

    QPointer<QWidget> form_;
    bool active_ = true;
    std::string ini_file_name_;
    std::string ini_section_;
    TWinMinMaxInfo min_max_info_{this};
    TPlacementOptions options_;
    bool prevent_resize_ = false;
    bool use_registry_ = false;
    bool had_maximize_button_ = false;
    bool restored_ = false;
    bool saved_ = false;
    bool destroying_ = false;
    bool destroy_done_ = false;
    bool hooked_ = false;
    std::unique_ptr<TWindowHook> hook_;
};

// Negative border width of a form, by border style: where a maximised form's
// frame begins.
int MaximizedBorderSize(TFormBorderStyle border);

}  // namespace support
