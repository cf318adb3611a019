#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QRegularExpression>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/forms/advanced_settings_dialog.h"
#include "app/forms/enter_more_dialog.h"
#include "app/forms/export_dialog.h"
#include "app/forms/get_more_dialog.h"
#include "app/forms/import_dialog.h"
#include "app/forms/options_dialog.h"
#include "app/mail/address_gathering.h"
#include "platform/mail/mail_store.h"
#include "platform/ui/shell.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

namespace fs = std::filesystem;

// Every help context the program opens: the index, manual entry, the
// mail-folder scan, import, export, the ten option pages (305 is shared with
// the send dialog), the advanced settings and the send dialog's two pages on
// customising messages.
const std::vector<int> kContexts = {0,   203, 204, 206, 208, 302, 303, 304,  305,
                                    306, 307, 308, 309, 310, 311, 312, 3001, 3002};

// The page's words as a reader sees them: tags gone, entities replaced,
// white space collapsed.
std::string PageText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream raw;
    raw << in.rdbuf();
    QString text = QString::fromUtf8(raw.str());
    text.remove(QRegularExpression("<[^>]*>"));
    text.replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", "\"");
    text.replace("&#39;", "'").replace("&nbsp;", " ").replace("&amp;", "&");
    return text.simplified().toStdString();
}

// The caption as a user reads it: no accelerator marks, no trailing dots,
// colons or blanks.
std::string Spoken(QString caption) {
    caption.remove(QRegularExpression("&(?=[^&])"));
    while (!caption.isEmpty() && QString(".: ").contains(caption.back()))
        caption.chop(1);
    return caption.simplified().toStdString();
}

// Every option, choice and group a user meets in widget, except the common
// dialog buttons, which every page explains alike.
std::vector<std::string> Captions(QWidget& widget) {
    static const QStringList kCommon = {"OK", "Cancel", "Help", "Edit", "Browse"};
    std::vector<std::string> captions;
    auto add = [&](const QString& text) {
        const std::string spoken = Spoken(text);
        if (!spoken.empty() && !kCommon.contains(QString::fromStdString(spoken)))
            captions.push_back(spoken);
    };
    for (QAbstractButton* button : widget.findChildren<QAbstractButton*>()) {
        // Working controls the code hides are not the user's.
        const bool hidden_by_code = button->testAttribute(Qt::WA_WState_ExplicitShowHide) &&
                                    button->testAttribute(Qt::WA_WState_Hidden);
        if (!hidden_by_code)
            add(button->text());
    }
    for (QGroupBox* box : widget.findChildren<QGroupBox*>())
        add(box->title());
    return captions;
}

class HelpPages : public testing_support::ListTest {
  protected:
    void SetUp() override {
        OpenNew();
        ui::SetHelpFolder(CORVANE_SOURCE_HELP_DIR);
    }
    // Each caption of the dialog must be named on its help page.
    void ExpectNamed(int context, QWidget& dialog) {
        const std::string page = ui::HelpPage(context);
        ASSERT_TRUE(page.ends_with("context-" + std::to_string(context) + ".html")) << page;
        const std::string text = PageText(page);
        const std::vector<std::string> captions = Captions(dialog);
        EXPECT_FALSE(captions.empty());
        for (const std::string& caption : captions) {
            EXPECT_NE(text.find(caption), std::string::npos)
                << "context-" << context << ".html does not name \"" << caption << "\"";
        }
    }
    ListServices Services() { return ListServices{settings, *database, errors, *entries}; }
};

TEST_F(HelpPages, EveryContextHasAPageWithATitleAndALinkHome) {
    for (int context : kContexts) {
        const std::string page = ui::HelpPage(context);
        const std::string want =
            context == 0 ? "index.html" : "context-" + std::to_string(context) + ".html";
        ASSERT_TRUE(page.ends_with(want)) << "no page for context " << context;
        std::ifstream in(page, std::ios::binary);
        std::ostringstream raw;
        raw << in.rdbuf();
        EXPECT_NE(raw.str().find("<h1>"), std::string::npos) << want;
        EXPECT_GE(PageText(page).size(), 400u) << want << " says too little";
        if (context != 0) {
            EXPECT_NE(raw.str().find("href='index.html'"), std::string::npos) << want;
        }
    }
    // The index leads to every other page, the questions page among them.
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(ui::HelpFolder()) / "FAQ.html"));
    std::ifstream in(ui::HelpPage(0), std::ios::binary);
    std::ostringstream index;
    index << in.rdbuf();
    for (int context : kContexts) {
        if (context != 0) {
            EXPECT_NE(index.str().find("context-" + std::to_string(context) + ".html"),
                      std::string::npos)
                << "the index has no link to context " << context;
        }
    }
    EXPECT_NE(index.str().find("href='FAQ.html'"), std::string::npos);
}

TEST_F(HelpPages, EachOptionsPageNamesTheChoicesOfItsPage) {
    Tdlgoptions options(nullptr, Services());
    options.FormShow();
    for (int i = 0; i < options.pgcoptions->count(); ++i) {
        SCOPED_TRACE(options.Pages(i)->Caption());
        const std::string page = ui::HelpPage(302 + i);
        EXPECT_NE(PageText(page).find(options.Pages(i)->Caption()), std::string::npos);
        ExpectNamed(302 + i, *options.Pages(i));
    }
}

TEST_F(HelpPages, DialogPagesNameTheChoicesOfTheirDialogs) {
    TdlgEnterMore more(nullptr, Services(), {});
    ExpectNamed(203, more);
    TdlgImport import(nullptr, Services(), {});
    ExpectNamed(206, import);
    Tdlgimport2 mapping(nullptr);
    ExpectNamed(206, mapping);
    TdlgExport export_dialog(nullptr, database->tblCV(), {});
    ExpectNamed(208, export_dialog);
    TdlgAdvancedSettings advanced(nullptr, settings);
    ExpectNamed(312, advanced);

    auto store = mail::MailStore::OpenMaildir({}, program.File("Mail"), "MailingList");
    AddressGatherer gatherer(*entries, *store);
    TdlgGetMore folders(nullptr, gatherer);
    ExpectNamed(204, folders);
}

}  // namespace
}  // namespace app
