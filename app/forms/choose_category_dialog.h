#pragma once

// Asks for a list category: typed, or picked from the known categories.

#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace app {

class TdlgChooseCategory : public ui::TForm {
  public:
    TdlgChooseCategory(QWidget* owner, std::string_view prompt,
                       const std::vector<std::string>& categories, std::string_view initial);

    ui::TLabel* lblPrompt;
    ui::TComboBox* cmbCategory;
    ui::TButton* btnOK;
    ui::TButton* btnCancel;
};

// The chosen category, trimmed; empty when cancelled or left empty.
std::string getcategory(QWidget* owner, std::string_view prompt,
                        const std::vector<std::string>& categories, std::string_view initial);

}  // namespace app
