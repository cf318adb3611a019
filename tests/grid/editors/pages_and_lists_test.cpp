// The blob popup's picture page, the graphic editor's toolbar, the calendar's month blocks,
// the image and lookup lists, pick cycling and hyperlink cells, in data grids over a Strata
// table.

#include <QClipboard>
#include <QGuiApplication>
#include <QScreen>

#include <filesystem>
#include <fstream>

#include "grid/editors/blob_edit.h"
#include "grid/editors/date_edit.h"
#include "grid/editors/graphic_edit.h"
#include "grid/editors/hyperlink_edit.h"
#include "grid/editors/image_edit.h"
#include "grid/editors/pick_edit.h"
#include "platform/ui/canvas.h"
#include "platform/ui/keys.h"
#include "tests/grid/editors/editor_fixture.h"

namespace grid::testing {
namespace {

QString Shot(const char* name) {
    return QString(CORVANE_TEST_OUTPUT_DIR) + "/" + name;
}

// A 300 by 200 picture: a blue field with a red square in its top-left corner.
QImage TestPicture() {
    QImage image(300, 200, QImage::Format_RGB32);
    image.fill(QColor(40, 90, 200));
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x)
            image.setPixel(x, y, qRgb(220, 30, 30));
    return image;
}

std::string FileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A grid with the Photo blob column; row 1 holds the test picture.
struct PhotoGrid : EditorGrid {
    TgxDBGridBlobColumn* photo;
    PhotoGrid() {
        db.Table().Locate("Index", db::Variant(1), {});
        db.Table().Edit();
        db.Table().FieldByName("Photo")->SetAsString(SavePictureToBlob(TestPicture()));
        db.Table().Post();
        photo = Add<TgxDBGridBlobColumn>("Photo");
        Add<TgxDBGridColumn>("Item");
        Bind();
    }
    TCustomgxBlobPopup* OpenPopup(int key) {
        auto* editor = Open<TgxInplaceBlobEdit>(key, 0);
        if (editor == nullptr)
            return nullptr;
        QTest::keyClick(editor, Qt::Key_F4);
        return editor->BlobPopup();
    }
    TgxInplaceBlobEdit* Editor() {
        return dynamic_cast<TgxInplaceBlobEdit*>(grid->InplaceEditor());
    }
};

TEST(BlobPopup, HitTestFindsTheGripTheFrameStripsAndTheBorder) {
    struct Case {
        QPoint p;
        bool sizeable, pressing;
        int hit;
    };
    const QSize window(200, 140);
    const std::vector<Case> cases = {
        {{199, 139}, true, false, HTBOTTOMRIGHT}, {{184, 124}, true, false, HTBOTTOMRIGHT},
        {{100, 138}, true, false, HTBOTTOM},      {{198, 50}, true, false, HTRIGHT},
        {{183, 139}, true, false, HTBOTTOM},      {{50, 50}, true, false, HTCLIENT},
        {{50, 110}, true, false, HTBORDER},  // the band around the buttons
        {{199, 139}, false, false, HTBORDER},     {{199, 139}, true, true, HTBORDER},
        {{198, 50}, false, false, HTBORDER},      {{-1, 5}, true, false, HTNOWHERE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BlobPopupHitTest(c.p, window, 100, c.sizeable, c.pressing, 16), c.hit)
            << c.p.x() << "," << c.p.y() << " sizeable " << c.sizeable;
}

TEST(BlobPopup, ThumbTrackingSnapsToFourUntilTheLastPage) {
    struct Case {
        int t, picture, client, offset;
    };
    const std::vector<Case> cases = {
        {0, 500, 100, 0},     {1, 500, 100, 0},     {10, 500, 100, 8},    {398, 500, 100, 396},
        {399, 500, 100, 400}, {450, 500, 100, 451}, {500, 500, 100, 400}, {900, 500, 100, 400},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BlobThumbOffset(c.t, c.picture, c.client), c.offset) << c.t;
}

TEST(BlobEditor, PictureMenuFollowsThePictureAndTheClipboard) {
    QGuiApplication::clipboard()->clear();
    PhotoGrid g;
    g.photo->SetShowPicturePopup(true);
    TCustomgxBlobPopup* popup = g.OpenPopup(1);
    ASSERT_NE(popup, nullptr);
    ASSERT_TRUE(popup->isVisible());
    EXPECT_EQ(popup->Page(), 1);
    EXPECT_EQ(popup->Picture().size(), QSize(300, 200));
    popup->grab().toImage().save(Shot("blob_picture_page.png"));
    TgxInplaceBlobEdit* editor = g.Editor();
    ASSERT_NE(popup->PictureMenu, nullptr);
    ui::TPopupMenu& menu = *editor->PictureMenu();
    ASSERT_EQ(menu.Items().Count(), 6);
    EXPECT_EQ(menu.Items().Items(bpcSaveToFile).Caption(), "&Save to file...");
    auto states = [&] {
        editor->RefreshPictureMenu();
        std::string out;
        for (int i = 0; i < 6; ++i)
            out += !menu.Items().Items(i).Visible() ? '-'
                                                    : (menu.Items().Items(i).Enabled() ? 'E' : 'd');
        return out;
    };
    // Cut, Copy, Paste, Delete, Save to file, Load from file.
    EXPECT_EQ(states(), "EEdE--");
    menu.Items().Items(bpcCopy).Click();
    EXPECT_EQ(QGuiApplication::clipboard()->image().size(), QSize(300, 200));
    EXPECT_EQ(states(), "EEEE--");
    EXPECT_FALSE(popup->Button(0)->isEnabled());
    menu.Items().Items(bpcDelete).Click();
    EXPECT_TRUE(popup->PictureEmpty());
    EXPECT_TRUE(popup->Button(0)->isEnabled());
    EXPECT_EQ(states(), "ddEd--");
    // The clipboard keys of the picture page.
    QTest::keyClick(popup, Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(popup->Picture().size(), QSize(300, 200));
    QImage small(8, 6, QImage::Format_RGB32);
    small.fill(Qt::green);
    QGuiApplication::clipboard()->setImage(small);
    QTest::keyClick(popup, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(popup->Picture().size(), QSize(8, 6));
    QTest::mouseClick(popup->Button(0), Qt::LeftButton);
    EXPECT_FALSE(popup->isVisible());
    g.Close();
    EXPECT_EQ(LoadPictureFromBlob(g.db.ReadBack(1, "Photo")).size(), QSize(8, 6));
}

TEST(BlobEditor, PictureFilesGoThroughTheDialogsInTheColumnsFormat) {
    PhotoGrid g;
    g.db.Table().Locate("Index", db::Variant(1), {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("Photo")->SetAsString(SavePictureToBlob(TestPicture(), {"PNG"}));
    g.db.Table().Post();
    g.photo->SetShowExPopupItems(true);
    g.photo->OnGetGraphicClass = [](TgxDBTreeListColumn*, const TgxTreeListNode*,
                                    TGraphicClass& graphic_class) { graphic_class.Format = "PNG"; };
    TCustomgxBlobPopup* popup = g.OpenPopup(1);
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->PictureMenu, nullptr);  // no context menu without ShowPicturePopup
    EXPECT_EQ(popup->Picture().size(), QSize(300, 200));
    TgxInplaceBlobEdit* editor = g.Editor();
    editor->RefreshPictureMenu();
    EXPECT_TRUE(editor->PictureMenu()->Items().Items(bpcLoadFromFile).Visible());
    const std::filesystem::path saved = g.db.folder.path / "saved";
    g.prompts->AnswerFile(saved.string());
    editor->PictureMenu()->Items().Items(bpcSaveToFile).Click();
    ASSERT_FALSE(g.prompts->FilesAsked().empty());
    EXPECT_EQ(g.prompts->FilesAsked().back().filter, "PNG pictures (*.png)|*.png");
    EXPECT_EQ(FileBytes(saved.string() + ".png").substr(1, 3), "PNG");
    EXPECT_FALSE(popup->Modified());

    QImage other(20, 10, QImage::Format_RGB32);
    other.fill(Qt::yellow);
    const std::filesystem::path loaded = g.db.folder.path / "other.bmp";
    other.save(QString::fromStdString(loaded.string()), "BMP");
    g.prompts->AnswerFile(loaded.string());
    editor->PictureMenu()->Items().Items(bpcLoadFromFile).Click();
    EXPECT_EQ(popup->Picture().size(), QSize(20, 10));
    EXPECT_TRUE(popup->isVisible());
    // A file that holds no picture is refused with a message and changes nothing.
    const std::filesystem::path junk = g.db.folder.path / "junk.png";
    std::ofstream(junk) << "no picture";
    g.prompts->AnswerFile(junk.string());
    EXPECT_THROW(popup->PictureCommand(bpcLoadFromFile), EInvalidGraphic);
    EXPECT_EQ(popup->Picture().size(), QSize(20, 10));
    QTest::keyClick(popup, Qt::Key_Return, Qt::ControlModifier);
    g.Close();
    const std::string stored = g.db.ReadBack(1, "Photo");
    EXPECT_EQ(stored.substr(1, 3), "PNG");
    EXPECT_EQ(LoadPictureFromBlob(stored).size(), QSize(20, 10));
}

TEST(BlobEditor, PicturePageScrollsWhenNotSizedToThePicture) {
    PhotoGrid g;
    g.photo->SetPictureAutoSize(false);
    TCustomgxBlobPopup* popup = g.OpenPopup(1);
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->size(), QSize(200, 140));
    QScrollBar* h = popup->ScrollBar(Qt::Horizontal);
    QScrollBar* v = popup->ScrollBar(Qt::Vertical);
    ASSERT_TRUE(h->isVisible());
    ASSERT_TRUE(v->isVisible());
    const QRect page = popup->PageRect();
    EXPECT_EQ(h->maximum(), 300 - page.width());
    EXPECT_EQ(v->maximum(), 200 - page.height());
    EXPECT_EQ(h->pageStep(), page.width());
    popup->SetScrollOffset(Qt::Vertical, 10000);
    EXPECT_EQ(popup->ScrollOffset(Qt::Vertical), 200 - page.height());
    EXPECT_EQ(v->value(), 200 - page.height());
    h->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(popup->ScrollOffset(Qt::Horizontal), h->singleStep());
    h->triggerAction(QAbstractSlider::SliderToMinimum);
    EXPECT_EQ(popup->ScrollOffset(Qt::Horizontal), 0);
    popup->grab().toImage().save(Shot("blob_picture_scrolled.png"));
    // The red corner scrolled out of the page at the top.
    const QImage shot = popup->grab().toImage();
    EXPECT_EQ(QColor(shot.pixel(page.left() + 5, page.top() + 5)), QColor(40, 90, 200));
    // Growing the popup past the picture needs no bars and takes the offsets back.
    popup->resize(400, 320);
    EXPECT_FALSE(h->isVisible());
    EXPECT_FALSE(v->isVisible());
    EXPECT_EQ(popup->ScrollOffset(Qt::Vertical), 0);
    popup->Cancel();
}

TEST(BlobEditor, TheCornerResizesTabLeavesAndTypingStopsAtTheLimit) {
    EditorGrid g;
    auto* notes = g.Add<TgxDBGridBlobColumn>("Notes");
    g.Add<TgxDBGridColumn>("Item");
    notes->SetMemoWantTabs(false);
    notes->SetMemoMaxLength(8);
    g.Bind();
    auto* editor = g.Open<TgxInplaceBlobEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_F4);
    TCustomgxBlobPopup* popup = editor->BlobPopup();
    ASSERT_TRUE(popup->isVisible());
    const QSize before = popup->size();
    EXPECT_EQ(popup->HitTest(QPoint(before.width() - 2, before.height() - 2)), HTBOTTOMRIGHT);
    QTest::mousePress(popup, Qt::LeftButton, Qt::NoModifier,
                      QPoint(before.width() - 2, before.height() - 2));
    QTest::mouseMove(popup, QPoint(before.width() + 38, before.height() + 28));
    QTest::mouseRelease(popup, Qt::LeftButton, Qt::NoModifier,
                        QPoint(before.width() + 38, before.height() + 28));
    EXPECT_EQ(popup->size(), before + QSize(40, 30));
    // Never smaller than its band needs.
    QTest::mousePress(popup, Qt::LeftButton, Qt::NoModifier,
                      QPoint(popup->width() - 1, popup->height() / 2));
    QTest::mouseMove(popup, QPoint(-400, popup->height() / 2));
    QTest::mouseRelease(popup, Qt::LeftButton, Qt::NoModifier, QPoint(-400, 5));
    EXPECT_EQ(popup->width(), popup->MinimumTrackSize().width());
    EXPECT_LT(popup->width(), before.width() + 40);

    popup->Memo().selectAll();
    QTest::keyClicks(&popup->Memo(), "0123456789");
    EXPECT_EQ(popup->MemoText(), "01234567");
    QTest::keyClick(&popup->Memo(), Qt::Key_Tab);
    EXPECT_FALSE(popup->isVisible());
    EXPECT_EQ(notes->PopupWidth(), popup->width());
    EXPECT_EQ(g.grid->GetFocusedColumn(), 1);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(1, "Notes"), "note 1");
}

TEST(BlobEditor, ImmediatePopupTakesTheFirstCharacterIntoAnEmptyText) {
    EditorGrid g;
    g.db.Table().Locate("Index", db::Variant(4), {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("Notes")->Clear();
    g.db.Table().Post();
    auto* notes = g.Add<TgxDBGridBlobColumn>("Notes");
    notes->SetImmediatePopup(true);
    g.Bind();
    for (int key : {4, 3}) {
        auto* editor = g.Open<TgxInplaceBlobEdit>(key, 0);
        ASSERT_NE(editor, nullptr);
        QCoreApplication::processEvents();
        ASSERT_TRUE(editor->PopupShown()) << key;
        QTest::keyClick(editor, Qt::Key_H);
        // A text that is already there is left alone.
        EXPECT_EQ(editor->BlobPopup()->MemoText(), key == 4 ? "h" : "note 3");
        editor->BlobPopup()->Accept();
        g.Close();
    }
    EXPECT_EQ(g.db.ReadBack(4, "Notes"), "h");
    EXPECT_EQ(g.db.ReadBack(3, "Notes"), "note 3");
}

TEST(PopupToolBar, CaptionsOnlyInAVerticalBarAndButtonsFollowTheSet) {
    TgxPopupToolBar bar;
    TgxPopupToolBarWindow settings;
    settings.Alignment = ptaLeft;
    bar.Apply(settings);
    const int h = bar.ButtonHeight();
    EXPECT_GE(h, 22);
    EXPECT_EQ(bar.height(), 6 * h);
    EXPECT_GT(bar.width(), h + 1 + 20);
    EXPECT_EQ(bar.Button(ptbCut)->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
    EXPECT_EQ(bar.Button(ptbSave)->text().toStdString(), "&Save To...");
    EXPECT_EQ(bar.Button(ptbLoad)->toolTip().toStdString(), "Load from file...");
    EXPECT_FALSE(bar.Button(ptbCut)->icon().isNull());
    bar.grab().toImage().save(Shot("graphic_toolbar_vertical.png"));

    settings.Alignment = ptaBottom;
    settings.Buttons = (1u << ptbCopy) | (1u << ptbPaste) | (1u << ptbCustom);
    settings.CustomButtonCaption = "Scan";
    settings.CustomButtonGlyph = ToolBarGlyph(ptbSave);
    bar.Apply(settings);
    EXPECT_EQ(bar.size(), QSize(3 * (h + 1), h));
    EXPECT_EQ(bar.Button(ptbCopy)->toolButtonStyle(), Qt::ToolButtonIconOnly);
    EXPECT_FALSE(bar.Button(ptbCut)->isVisibleTo(&bar));
    EXPECT_TRUE(bar.Button(ptbCustom)->isVisibleTo(&bar));
    EXPECT_FALSE(bar.Button(ptbCustom)->icon().isNull());
    bar.grab().toImage().save(Shot("graphic_toolbar_row.png"));
}

TEST(GraphicEditor, ToolbarKeepsTheUsersPlaceForTheColumn) {
    EditorGrid g;
    auto* photo = g.Add<TgxDBGridGraphicColumn>("Photo");
    g.Bind();
    auto* editor = g.Open<TgxInplaceGraphicEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    editor->ShowToolbar();
    const QPoint below = editor->mapToGlobal(QPoint(0, editor->height()));
    EXPECT_EQ(editor->Toolbar().pos(), below);
    EXPECT_EQ(photo->ToolbarPos(), kNoToolbarPos);
    // The user drags the toolbar away; the next showing keeps that place for the column.
    editor->Toolbar().move(300, 40);
    editor->ShowToolbar();
    EXPECT_EQ(photo->ToolbarPos(), QPoint(300, 40));
    g.grid->CancelEditor();
    editor = g.Open<TgxInplaceGraphicEdit>(3, 0);
    ASSERT_NE(editor, nullptr);
    editor->ShowToolbar();
    EXPECT_EQ(editor->Toolbar().pos(), QPoint(300, 40));
    // Without stored positions the toolbar goes back beside the cell.
    photo->SetPopupToolbarPosStored(false);
    EXPECT_EQ(photo->ToolbarPos(), kNoToolbarPos);
    editor->ShowToolbar();
    EXPECT_EQ(editor->Toolbar().pos(), editor->mapToGlobal(QPoint(0, editor->height())));
}

TEST(GraphicEditor, ThePictureFormatComesFromTheColumnsEvent) {
    EditorGrid g;
    auto* photo = g.Add<TgxDBGridGraphicColumn>("Photo");
    std::vector<const TgxTreeListNode*> asked;
    photo->OnGetGraphicClass = [&](TgxDBTreeListColumn*, const TgxTreeListNode* node,
                                   TGraphicClass& graphic_class) {
        asked.push_back(node);
        graphic_class.Format = "PNG";
    };
    g.Bind();
    auto* editor = g.Open<TgxInplaceGraphicEdit>(2, 0);
    ASSERT_NE(editor, nullptr);
    QGuiApplication::clipboard()->setImage(TestPicture());
    editor->ToolbarClick(ptbPaste);
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.back(), g.grid->FindNodeByKeyValue(db::Variant(2)));
    const std::filesystem::path saved = g.db.folder.path / "photo";
    g.prompts->AnswerFile(saved.string());
    editor->ToolbarClick(ptbSave);
    EXPECT_EQ(g.prompts->FilesAsked().back().default_ext, "png");
    EXPECT_EQ(FileBytes(saved.string() + ".png").substr(1, 3), "PNG");
    g.Close();
    const std::string stored = g.db.ReadBack(2, "Photo");
    EXPECT_EQ(stored.substr(1, 3), "PNG");
    EXPECT_EQ(LoadPictureFromBlob(stored, {"PNG"}).size(), QSize(300, 200));
    // A class that does not match the bytes reads no picture.
    EXPECT_TRUE(LoadPictureFromBlob(stored, {"BMP"}).isNull());
}

TEST(GraphicColumn, SelectedCellsAreShadedOnlyWithShadowSelection) {
    for (bool shadow : {true, false}) {
        EditorGrid g;
        for (int key : {1, 2}) {
            g.db.Table().Locate("Index", db::Variant(key), {});
            g.db.Table().Edit();
            QImage red(40, 40, QImage::Format_RGB32);
            red.fill(Qt::red);
            g.db.Table().FieldByName("Photo")->SetAsString(SavePictureToBlob(red));
            g.db.Table().Post();
        }
        auto* photo = g.Add<TgxDBGridGraphicColumn>("Photo");
        photo->SetShadowSelection(shadow);
        photo->SetQuickDraw(true);
        g.grid->SetDefaultRowHeight(30);
        g.Bind();
        g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(1)));
        const QImage shot = g.grid->grab().toImage();
        if (shadow)
            shot.save(Shot("graphic_cells.png"));
        const ui::Rect focused = g.grid->GetCellRect(g.grid->FindNodeByKeyValue(db::Variant(1)), 0);
        const ui::Rect other = g.grid->GetCellRect(g.grid->FindNodeByKeyValue(db::Variant(2)), 0);
        // The picture is drawn in both rows; over the selected one the halftone leaves
        // every other pixel in the highlight colour.
        const int x = focused.left + 10, y = focused.top + 10;
        EXPECT_EQ(shot.pixel(x, y) != shot.pixel(x + 1, y), shadow);
        EXPECT_TRUE(QColor(shot.pixel(x, y)) == QColor(Qt::red) ||
                    QColor(shot.pixel(x + 1, y)) == QColor(Qt::red));
        EXPECT_EQ(QColor(shot.pixel(other.left + 10, other.top + 10)), QColor(Qt::red));
    }
}

TEST(DatePopup, MonthBlocksSideBySideAndTheirMonthLists) {
    const int saved_first = CalendarFirstWeekDay();
    CalendarFirstWeekDay() = 1;
    {
        TgxGridDatePopup popup;
        popup.SetMonthCounts(3, 2);
        popup.SetFirstDate(db::EncodeDate(2026, 1, 20));
        popup.SetSelStart(db::EncodeDate(2026, 2, 10));
        EXPECT_EQ(popup.FirstDate(), db::EncodeDate(2026, 1, 1));
        EXPECT_EQ(popup.GetLastVisibleDate(), db::EncodeDate(2026, 7, 12));
        popup.show();
        popup.grab().toImage().save(Shot("calendar_months.png"));
        EXPECT_EQ(popup.BlockRect(1).left(), popup.BlockRect(0).right() + 1);
        EXPECT_EQ(popup.BlockRect(3).top(), popup.BlockRect(0).bottom() + 1);
        EXPECT_LT(popup.RightArrowRect().top(), popup.BlockRect(3).top() + 5);
        EXPECT_GT(popup.RightArrowRect().top(), popup.BlockRect(0).bottom());
        // Block 1 is February: its 1st is in the last column of the first week; the days of
        // January before it are January's block's alone.
        const auto at = [&](int row, int col, int block) {
            return popup.GetDateAtPos(popup.DayCellRect(row, col, block).center());
        };
        EXPECT_EQ(at(0, 6, 1), db::EncodeDate(2026, 2, 1));
        EXPECT_TRUE(IsNullDate(at(0, 0, 1)));
        EXPECT_EQ(at(0, 0, 0), db::EncodeDate(2025, 12, 29));
        EXPECT_EQ(at(5, 6, 5), db::EncodeDate(2026, 7, 12));
        std::vector<double> picked;
        popup.OnDateSelected = [&](TgxGridDatePopup* p) {
            picked.push_back(p->GetSelStart().Value);
        };
        QTest::mouseClick(&popup, Qt::LeftButton, Qt::NoModifier,
                          popup.DayCellRect(2, 2, 4).center() + QPoint(1, 1));
        ASSERT_EQ(picked.size(), 1u);
        EXPECT_EQ(picked[0], db::EncodeDate(2026, 5, 13).Value);

        // The month list over the fifth block's title centres May; choosing its top row
        // (February) shows February in that block.
        popup.show();
        const QPoint title = popup.TitleRect(4).center() + QPoint(1, 1);
        QTest::mousePress(&popup, Qt::LeftButton, Qt::NoModifier, title);
        ASSERT_NE(popup.MonthList(), nullptr);
        EXPECT_EQ(popup.MonthListIndex(), 4);
        EXPECT_EQ(popup.MonthList()->TopDate, db::EncodeDate(2026, 2, 1));
        popup.MonthList()->Track(QPoint(5, 3));
        QTest::mouseRelease(&popup, Qt::LeftButton, Qt::NoModifier, title);
        EXPECT_EQ(popup.FirstDate(), db::EncodeDate(2025, 10, 1));

        // The right arrow is on the last block and steps the months once.
        const QPoint right = popup.RightArrowRect().center() + QPoint(1, 1);
        EXPECT_GT(right.x(), popup.BlockRect(5).left());
        QTest::mouseClick(&popup, Qt::LeftButton, Qt::NoModifier, right);
        EXPECT_EQ(popup.FirstDate(), db::EncodeDate(2025, 11, 1));
    }
    CalendarFirstWeekDay() = saved_first;
}

TEST(ImageEditor, ListTakesTheLargeImagesAndCellsWrapDescriptions) {
    ui::TCustomImageList small(16, 16), large(32, 32);
    for (QColor c : {QColor(Qt::green), QColor(Qt::red)}) {
        QImage image(32, 32, QImage::Format_RGB32);
        image.fill(c);
        small.Add(image);
        large.Add(image);
    }
    EditorGrid g;
    auto* rights = g.Add<TgxDBGridImageColumn>("SendRights");
    rights->Values = {"True", "False"};
    rights->Descriptions = {"may send to the whole list", "may not send anything at all"};
    rights->SetImages(&small);
    rights->SetLargeImages(&large);
    rights->SetShowDescription(true);
    rights->SetMultiLineText(true);
    rights->SetWidth(120);
    g.grid->SetDefaultRowHeight(36);
    g.Bind();
    auto* editor = g.Open<TgxInplaceImageEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_F4);
    ASSERT_TRUE(editor->PopupShown());
    TgxPopupImageListBox* list = editor->List();
    EXPECT_EQ(list->ImageList(), &large);
    EXPECT_TRUE(list->MultiLine());
    EXPECT_EQ(list->ItemHeight, 34);
    list->grab().toImage().save(Shot("image_list.png"));
    // The column's close-up event may refuse the picked value.
    std::vector<std::string> offered;
    rights->OnCloseUp = [&](TgxDBTreeListColumn*, std::string& value, bool& accept) {
        offered.push_back(value);
        accept = false;
    };
    QTest::keyClick(editor, Qt::Key_Down);
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_FALSE(editor->PopupShown());
    EXPECT_EQ(offered, (std::vector<std::string>{"False"}));
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "True");
    g.grid->CancelEditor();
    const QImage shot = g.grid->grab().toImage();
    shot.save(Shot("image_cells.png"));
    // The wrapped description has ink on a second line below the centre of the cell.
    const ui::Rect cell = g.grid->GetCellRect(g.grid->FindNodeByKeyValue(db::Variant(2)), 0);
    int ink_below = 0;
    for (int y = (cell.top + cell.bottom) / 2 + 2; y < cell.bottom - 1; ++y)
        for (int x = cell.left + 20; x < cell.right - 2; ++x)
            if (qGray(shot.pixel(x, y)) < 100)
                ++ink_below;
    EXPECT_GT(ink_below, 10);
}

TEST(PickEditor, CyclingStepsToTheNextItemAndWraps) {
    EditorGrid g;
    auto* rights = g.Add<TgxDBGridPickColumn>("SendRights");
    rights->SetItems({"True", "False", "Maybe"});
    g.Bind();
    auto* editor = g.Open<TgxInplacePickEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "True");
    // The data-aware editor does not cycle on a double click.
    QTest::mouseDClick(&editor->LineEdit(), Qt::LeftButton);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "True");
    editor->CycleValue();
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "False");
    editor->CycleValue();
    editor->CycleValue();
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "True");
    editor->CycleValue();
    g.Close();
    EXPECT_EQ(g.db.ReadBack(1, "SendRights"), "False");
    rights->SetItems({"Only"});
    editor = g.Open<TgxInplacePickEdit>(2, 0);
    editor->CycleValue();
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "False");
}

TEST(HyperLinkColumn, CellsAreUnderlinedAndSingleClickTakesTheLinkColours) {
    EditorGrid g;
    auto* link = g.Add<TgxDBGridHyperLinkColumn>("Item");
    g.Bind();
    QImage image(100, 20, QImage::Format_RGB32);
    ui::TCanvas canvas(image);
    struct Case {
        bool single_click;
        ui::Color cell;
        ui::Color ink;
    };
    for (const Case& c :
         {Case{false, ui::clWhite, ui::clBlack}, Case{true, ui::clWhite, ui::clBlue},
          Case{true, ui::clYellow, ui::clBlack}}) {
        link->SetSingleClick(c.single_click);
        std::string text = "www.example.org";
        ui::Color color = c.cell;
        ui::TFont font;
        font.SetColor(ui::clBlack);
        TAlignment alignment = taLeftJustify;
        bool done = false;
        link->DoCustomDrawCell(canvas, {0, 0, 100, 20}, g.grid->FindNodeByKeyValue(db::Variant(1)),
                               false, false, false, text, color, font, alignment, done);
        EXPECT_FALSE(done);
        EXPECT_TRUE(ui::HasStyle(font.Style(), ui::fsUnderline));
        EXPECT_EQ(font.GetColor().ToQColor(), c.ink.ToQColor()) << c.single_click;
    }
    g.grid->grab().toImage().save(Shot("hyperlink_cells.png"));
}

}  // namespace
}  // namespace grid::testing
