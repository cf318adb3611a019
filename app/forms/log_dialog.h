#pragma once

// The activity-log viewer: shows "log.txt" of the program directory, clears it or saves a
// copy.

#include <string>
#include <string_view>

#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace app {

inline constexpr const char* kLogFileName = "log.txt";

class Tdlglog : public ui::TForm {
  public:
    Tdlglog(QWidget* owner, std::string program_dir);

    void FormShow();
    void btnclearlogClick();
    void BitBtn2Click();

    ui::TMemo* memlogFile;
    ui::TButton* btnClose;
    ui::TButton* btnclearlog;
    ui::TButton* BitBtn2;

  private:
    std::string LogPath() const;
    // Opens at the end of the log, as wide as its longest line where the screen allows.
    void ShowNewestLinesWhole(std::string_view text);
    std::string program_dir_;
};

}  // namespace app
