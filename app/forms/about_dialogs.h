#pragma once

// The about box and the support and web-site choices of the Help menu.

#include <functional>
#include <string>

#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace app {

// The maker's addresses.
inline constexpr const char* kHomePage = "https://corvane.example.org/";
inline constexpr const char* kDownloadPage = "https://corvane.example.org/download/";
inline constexpr const char* kSupportPage = "https://corvane.example.org/support/";
inline constexpr const char* kSupportForm = "https://corvane.example.org/support/form/";
inline constexpr const char* kWebFaq = "https://corvane.example.org/faq/";
inline constexpr const char* kSupportMail = "mailto:support@corvane.example.org";

class TAboutBox : public ui::TForm {
  public:
    explicit TAboutBox(QWidget* owner);
    ui::TLabel* ProductName;
    ui::TLabel* Version;
    ui::TButton* lblMaker;
    ui::TButton* lblMail;
    ui::TButton* OKButton;
    // The main window's web-site command, run by the maker's name.
    std::function<void()> OnWebsite;
};

class TdlgSupport : public ui::TForm {
  public:
    TdlgSupport(QWidget* owner, std::string program_dir);
    void OKClick();
    ui::TRadioButton* rdbLocalFaq;
    ui::TRadioButton* rdbWebFaq;
    ui::TRadioButton* rdbSupportForm;
    ui::TRadioButton* rdbSupportPage;
    ui::TButton* btnOK;

  private:
    std::string program_dir_;
};

class TdlgBrovikWebsite : public ui::TForm {
  public:
    explicit TdlgBrovikWebsite(QWidget* owner);
    void OKClick();
    ui::TRadioButton* rdbHome;
    ui::TRadioButton* rdbDownload;
    ui::TRadioButton* rdbSupport;
    ui::TButton* btnOK;
};

}  // namespace app
