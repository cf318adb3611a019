#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QWidget>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/config/ini_file.h"
#include "platform/config/reg_ini_file.h"
#include "platform/config/registry.h"
#include "platform/config/registry_store.h"
#include "platform/ui/prompt.h"
#include "support/app_utils.h"
#include "support/form_placement.h"

namespace {

namespace fs = std::filesystem;
using platform::config::TIniFile;
using platform::config::TRegIniFile;

// Where the window manager put the frame, and the client size.
QRect Placed(const QWidget* form) {
    return QRect(form->pos(), form->size());
}

class Tfrmmain : public QWidget {
  public:
    Tfrmmain() {
        resize(400, 300);
        move(50, 60);
        edit = new QLineEdit(this);
        edit->setObjectName("Edit1");
        edit->setGeometry(10, 10, 100, 20);
        other = new QLineEdit(this);
        other->setObjectName("Edit2");
        other->setGeometry(10, 40, 100, 20);
    }
    QLineEdit* edit;
    QLineEdit* other;
};

class TdlgFixed : public QWidget {
  public:
    TdlgFixed() {
        move(30, 30);
        setFixedSize(200, 100);
    }
};

class FormPlacementTest : public testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvane-place-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
        platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                    dir_ / "Corvane" / "registry.ini");
        support::SetApplicationMainForm(nullptr);
    }
    void TearDown() override {
        support::SetApplicationMainForm(nullptr);
        fs::remove_all(dir_);
    }

    bool UseRegistry() const { return GetParam(); }

    std::unique_ptr<support::TFormPlacement> Attach(QWidget* form) {
        auto placement = std::make_unique<support::TFormPlacement>(nullptr, form);
        placement->SetUseRegistry(UseRegistry());
        placement->Loaded();
        return placement;
    }

    std::string Read(std::string_view ident) {
        if (UseRegistry()) {
            TRegIniFile reg(support::GetDefaultIniRegKey());
            return reg.ReadString("Tfrmmain", ident, "<none>");
        }
        TIniFile ini(support::GetDefaultIniName());
        return ini.ReadString("Tfrmmain", ident, "<none>");
    }

    void Write(std::string_view section, std::string_view ident, std::string_view value) {
        if (UseRegistry()) {
            TRegIniFile reg(support::GetDefaultIniRegKey());
            reg.WriteString(section, ident, value);
        } else {
            TIniFile ini(support::GetDefaultIniName());
            ini.WriteString(section, ident, value);
        }
    }

    std::string SettingsFileText() {
        const fs::path file = UseRegistry() ? dir_ / "Corvane" / "registry.ini"
                                            : dir_ / "Corvane" / support::GetDefaultIniName();
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir_;
};

TEST_P(FormPlacementTest, FirstRunKeepsDesignAndFirstCloseWritesReadableValues) {
    Tfrmmain form;
    auto placement = Attach(&form);
    form.show();
    QApplication::processEvents();
    EXPECT_EQ(Placed(&form), QRect(50, 60, 400, 300));
    EXPECT_TRUE(placement->Restored());
    form.move(70, 80);
    EXPECT_TRUE(form.close());
    EXPECT_TRUE(placement->Saved());

    const std::string suffix = support::ScreenSizeSuffix(&form);
    EXPECT_EQ(Read("NormPos"), "70,80,470,380");
    EXPECT_EQ(Read("NormPos" + suffix), "70,80,470,380");
    EXPECT_EQ(Read("ShowCmd"), "1");
    EXPECT_EQ(Read("Flags"), "0");
    EXPECT_EQ(Read("PixelsPerInch"), std::to_string(support::ScreenPixelsPerInch(&form)));
    EXPECT_EQ(Read("Visible"), "0");
    EXPECT_NE(Read("MinMaxPos"), "<none>");
    const std::string text = SettingsFileText();
    EXPECT_NE(text.find("70,80,470,380"), std::string::npos) << text;
    EXPECT_NE(text.find("Tfrmmain"), std::string::npos) << text;
}

TEST_P(FormPlacementTest, StoredPlacementIsAppliedToTheNextForm) {
    {
        Tfrmmain form;
        auto placement = Attach(&form);
        placement->SetOptions({support::fpState, support::fpPosition, support::fpActiveControl});
        form.show();
        form.move(120, 130);
        form.resize(333, 222);
        form.other->setFocus();
        QApplication::processEvents();
        form.close();
    }
    EXPECT_EQ(Read("ActiveControl"), "Edit2");
    Tfrmmain form;
    auto placement = Attach(&form);
    placement->SetOptions({support::fpState, support::fpPosition, support::fpActiveControl});
    form.show();
    QApplication::processEvents();
    EXPECT_EQ(Placed(&form), QRect(120, 130, 333, 222));
    EXPECT_EQ(form.focusWidget(), form.other);
}

TEST_P(FormPlacementTest, DestroyWithoutCloseSavesOnceWithVisibleSet) {
    {
        Tfrmmain form;
        auto placement = Attach(&form);
        form.show();
        QApplication::processEvents();
    }  // the placement goes while the form still exists
    EXPECT_EQ(Read("Visible"), "1");
    EXPECT_EQ(Read("NormPos"), "50,60,450,360");
}

TEST_P(FormPlacementTest, PositionTextsFromStorage) {
    const std::string suffix = [] {
        QWidget probe;
        return support::ScreenSizeSuffix(&probe);
    }();
    const std::string ppi = [] {
        QWidget probe;
        return std::to_string(support::ScreenPixelsPerInch(&probe));
    }();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    ASSERT_EQ(screen.topLeft(), QPoint(0, 0));
    ASSERT_EQ(screen, QGuiApplication::primaryScreen()->virtualGeometry());
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> values;
        bool fixed;
        QRect expected;
    };
    const std::vector<Case> cases{
        // Two words keep the stored left and top and the form's own size.
        {"short", {{"NormPos", "10,20"}}, false, QRect(10, 20, 400, 300)},
        {"suffixed first",
         {{"NormPos", "1,2,101,102"}, {"NormPos" + suffix, "5,6,205,106"}},
         false,
         QRect(5, 6, 200, 100)},
        // Saved at another screen size: the plain value still counts.
        {"other screen",
         {{"NormPos", "7,8,307,208"}, {"NormPos(1x1)", "0,0,5,5"}},
         false,
         QRect(7, 8, 300, 200)},
        {"other density",
         {{"NormPos", "7,8,307,208"}, {"PixelsPerInch", "1"}},
         false,
         QRect(50, 60, 400, 300)},
        {"invalid word", {{"NormPos", "x 15,300 315"}}, false, QRect(0, 15, 300, 300)},
        {"invalid right", {{"NormPos", "5 15 y"}}, false, QRect(50, 60, 400, 300)},
        {"empty right", {{"NormPos", "9,9,9,9"}}, false, QRect(50, 60, 400, 300)},
        // A dialog that cannot be resized keeps its designed size.
        {"fixed dialog", {{"NormPos", "11,12,500,500"}}, true, QRect(11, 12, 200, 100)},
        // Saved with a screen that is gone: back onto this one, at its nearest corner.
        {"off screen",
         {{"NormPos", "5000,4000,5400,4300"}},
         false,
         QRect(screen.right() + 1 - 400, screen.bottom() + 1 - 300, 400, 300)},
        {"off to the left", {{"NormPos", "-900,20,-500,320"}}, false, QRect(0, 20, 400, 300)},
        // Damaged values: never larger than the desktop, never an overflow.
        {"huge",
         {{"NormPos", "0,0,100000,90000"}},
         false,
         QRect(0, 0, screen.width(), screen.height())},
        {"widest span",
         {{"NormPos", "-2000000000,10,2000000000,110"}},
         false,
         QRect(0, 10, screen.width(), 100)},
        {"far corner, no size",
         {{"NormPos", "2147483647,2147483647"}},
         false,
         QRect(50, 60, 400, 300)},
        {"far corner, fixed",
         {{"NormPos", "2147483647,-2147483648"}},
         true,
         QRect(30, 30, 200, 100)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "Corvane");
        platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                    dir_ / "Corvane" / "registry.ini");
        const std::string section = c.fixed ? "TdlgFixed" : "Tfrmmain";
        Write(section, "PixelsPerInch", ppi);
        for (const auto& [name, value] : c.values)
            Write(section, name, value);
        std::unique_ptr<QWidget> form;
        if (c.fixed)
            form = std::make_unique<TdlgFixed>();
        else
            form = std::make_unique<Tfrmmain>();
        auto placement = Attach(form.get());
        form->show();
        QApplication::processEvents();
        EXPECT_EQ(Placed(form.get()), c.expected);
        placement->SetActive(false);
    }
}

TEST_P(FormPlacementTest, StoredMinimisedMainFormIsMinimisedByPostedCommand) {
    Write("Tfrmmain", "ShowCmd", "2");
    Tfrmmain form;
    support::SetApplicationMainForm(&form);
    auto placement = Attach(&form);
    form.show();
    EXPECT_FALSE(form.isMinimized());
    QApplication::processEvents();
    EXPECT_TRUE(form.isMinimized());
    placement->SetActive(false);
}

TEST_P(FormPlacementTest, StoredMaximisedStateIsRestored) {
    Write("Tfrmmain", "ShowCmd", "3");
    Tfrmmain form;
    auto placement = Attach(&form);
    form.show();
    QApplication::processEvents();
    EXPECT_TRUE(form.isMaximized());
    placement->SetActive(false);
}

TEST_P(FormPlacementTest, SizeLimitsAndPreventResize) {
    Tfrmmain form;
    auto placement = Attach(&form);
    placement->SetActive(false);
    placement->MinMaxInfo().SetMinTrackWidth(300);
    placement->MinMaxInfo().SetMaxTrackHeight(500);
    form.show();
    QApplication::processEvents();
    EXPECT_EQ(form.minimumWidth(), 300);
    EXPECT_EQ(form.maximumHeight(), 500);

    placement->SetPreventResize(true);
    QApplication::processEvents();
    EXPECT_EQ(form.minimumSize(), QSize(400, 300));
    EXPECT_EQ(form.maximumSize(), QSize(400, 300));
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);

    placement->SetPreventResize(false);
    placement->SetMinMaxInfo(support::TWinMinMaxInfo(nullptr));
    EXPECT_EQ(form.minimumSize(), QSize(0, 0));
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_P(FormPlacementTest, CancelledCloseWritesNothing) {
    class Stubborn : public Tfrmmain {
      protected:
        void closeEvent(QCloseEvent* e) override { e->ignore(); }
    };
    Stubborn form;
    form.setProperty("ClassName", "Tfrmmain");
    auto placement = Attach(&form);
    form.show();
    QApplication::processEvents();
    EXPECT_FALSE(form.close());
    EXPECT_FALSE(placement->Saved());
    EXPECT_EQ(Read("NormPos"), "<none>");
    placement->SetActive(false);
}

// Storage that cannot be read (a value of the wrong type, a damaged settings
// file) is reported, and the form is still shown and closed as it would be
// without the component.
TEST(FormPlacementFailure, UnreadableStorageIsReportedAndTheFormStillShows) {
    char pattern[] = "/tmp/corvane-place-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    const fs::path file = dir / "Corvane" / "registry.ini";
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER, file);
    support::SetApplicationMainForm(nullptr);
    {
        // A number where a text belongs, as a hand edit of the settings leaves it.
        platform::config::TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(support::GetDefaultIniRegKey() + "\\Tfrmmain", true));
        reg.WriteInteger("NormPos", 5);
    }
    class Watched : public Tfrmmain {
      public:
        int shows = 0;
        int closes = 0;

      protected:
        void showEvent(QShowEvent*) override { ++shows; }
        void closeEvent(QCloseEvent* e) override {
            ++closes;
            e->accept();
        }
    };
    auto* prompts = new ui::ScriptedPromptService;
    ui::ScopedPromptService scoped{std::unique_ptr<ui::PromptService>(prompts)};
    {
        Watched form;
        form.setProperty("ClassName", "Tfrmmain");
        auto placement = std::make_unique<support::TFormPlacement>(nullptr, &form);
        placement->SetUseRegistry(true);
        placement->Loaded();
        form.show();
        QApplication::processEvents();
        EXPECT_EQ(form.shows, 1) << "the form never saw its own show";
        EXPECT_EQ(Placed(&form), QRect(50, 60, 400, 300));
        ASSERT_EQ(prompts->Asked().size(), 1u);
        EXPECT_NE(prompts->Asked()[0].text.find("NormPos"), std::string::npos)
            << prompts->Asked()[0].text;
        EXPECT_TRUE(form.close());
        EXPECT_EQ(form.closes, 1);
        placement->SetActive(false);
    }
    const std::string settings = [&] {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }();
    EXPECT_NE(settings.find("NormPos"), std::string::npos);  // the stored value is still there
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Storage, FormPlacementTest, testing::Values(false, true),
                         [](const auto& param_info) {
                             return param_info.param ? "Registry" : "IniFile";
                         });

TEST(AppUtils, QuotedValuesSurviveAnIniFileAndGoAsTheyAreToTheRegistry) {
    char pattern[] = "/tmp/corvane-quote-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    platform::config::RegistryHive::SetHiveFile(platform::config::HKEY_CURRENT_USER,
                                                dir / "registry.ini");
    {
        // Closed before the folder goes: closing writes the hive file again.
        TIniFile ini((dir / "x.ini").string());
        TRegIniFile reg("Software\\QuoteTest");
        for (const std::string value : {"\"both\"", "'single'", "plain", "\"half", "'"}) {
            support::IniWriteString(&ini, "S", "V", value);
            EXPECT_EQ(support::IniReadString(&ini, "S", "V", ""), value);
            support::IniWriteString(&reg, "S", "V", value);
            EXPECT_EQ(reg.ReadString("S", "V", ""), value);
        }
        EXPECT_EQ(support::IniReadString(std::monostate{}, "S", "V", "dflt"), "dflt");
        support::IniWriteString(std::monostate{}, "S", "V", "ignored");
    }
    fs::remove_all(dir);
    EXPECT_FALSE(fs::exists(dir));
}

TEST(AppUtils, DefaultSectionsAndNames) {
    Tfrmmain form;
    EXPECT_EQ(support::GetDefaultSection(&form), "Tfrmmain");
    EXPECT_EQ(support::GetDefaultSection(form.edit), "TfrmmainEdit1");
    QWidget loose;
    loose.setObjectName("Panel");
    QWidget child(&loose);
    child.setObjectName("Inner");
    loose.setProperty("ClassName", "TPanelForm");
    EXPECT_EQ(support::GetDefaultSection(&child), "TPanelFormInner");
    EXPECT_EQ(support::GetDefaultIniRegKey(), "Software\\support_ui_tests");
    EXPECT_EQ(support::GetDefaultIniName(), "support_ui_tests.INI");
}

}  // namespace
