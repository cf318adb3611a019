// Image list boxes, image lists that go away under their columns, graphic cells of custom
// classes at design time, the read-only picture stream and the blob memo's settings, in data
// grids over a Strata table.

#include <QScrollBar>

#include <array>
#include <memory>

#include "grid/editors/blob_edit.h"
#include "grid/editors/graphic_edit.h"
#include "grid/editors/image_edit.h"
#include "tests/grid/editors/editor_fixture.h"

namespace grid::testing {
namespace {

QString Shot(const char* name) {
    return QString(CORVANE_TEST_OUTPUT_DIR) + "/" + name;
}

QImage Filled(QColor colour, int size) {
    QImage image(size, size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// A list whose item i is 10 + 5 * i pixels tall.
class GrowingListBox : public TCustomgxImageListBox {
  public:
    using TCustomgxImageListBox::TCustomgxImageListBox;
    int ItemHeightOf(int index) const override { return 10 + 5 * index; }
};

TEST(ImageListBox, RowsOfDifferentHeightsAnswerPointsAndScroll) {
    GrowingListBox list;
    list.Items = {"a", "b", "c", "d", "e", "f"};
    // Inside the 1-pixel edge: heights 10, 15, 20, 25, 30, 35.
    list.resize(100, 2 + 10 + 15 + 20);
    list.Rows = 3;
    EXPECT_EQ(list.RowsHeight(3), 45);
    EXPECT_EQ(list.ItemRect(1), QRect(1, 11, 98, 15));
    EXPECT_TRUE(list.ItemRect(3).isEmpty());  // below the bottom edge
    const struct {
        QPoint at;
        int row;
    } hits[] = {{{5, 1}, 0},  {{5, 10}, 0}, {{5, 11}, 1}, {{5, 25}, 1},
                {{5, 26}, 2}, {{5, 0}, -1}, {{0, 5}, -1}, {{5, 46}, -1}};
    for (const auto& h : hits)
        EXPECT_EQ(list.RowAt(h.at), h.row) << h.at.x() << "," << h.at.y();

    // Showing item 3 (25 high) scrolls until it fits whole: rows 2 and 3 take 45 pixels.
    list.MakeVisible(3);
    EXPECT_EQ(list.TopIndex, 2);
    EXPECT_EQ(list.RowAt(QPoint(5, 1)), 2);
    EXPECT_EQ(list.ItemRect(3), QRect(1, 21, 98, 25));
    // The last item alone fills the list.
    list.MakeVisible(5);
    EXPECT_EQ(list.TopIndex, 5);
    list.MakeVisible(0);
    EXPECT_EQ(list.TopIndex, 0);
    // Keys step through the rows and keep the selection in view.
    std::uint16_t key = ui::VK_END;
    list.PopupKeyDown(key, {});
    EXPECT_EQ(list.ItemIndex, 5);
    EXPECT_EQ(list.TopIndex, 5);
}

TEST(ImageListBox, ItemHeightFollowsTheImageListAndForgetsOneThatIsDestroyed) {
    TgxPopupImageListBox list;
    list.ItemFont.SetName("DejaVu Sans");
    list.ItemFont.SetSize(9);
    list.UpdateItemHeight();
    const int text_height = list.ItemHeight;
    EXPECT_GT(text_height, 8);
    {
        ui::TCustomImageList big(40, 40);
        big.Add(Filled(Qt::red, 40));
        list.SetImageList(&big);
        EXPECT_EQ(list.ItemHeight, 42);
        ui::TCustomImageList tiny(4, 4);
        list.SetImageList(&tiny);
        EXPECT_EQ(list.ItemHeight, text_height);  // never below the text
        list.SetImageList(&big);
        list.Items = {"red", "none"};
        list.ItemImages = {0, -2};
        list.resize(120, 2 * 42 + 2);
        const QImage shot = list.grab().toImage();
        EXPECT_EQ(QColor(shot.pixel(5, 20)), QColor(Qt::red));
        EXPECT_NE(QColor(shot.pixel(5, 62)), QColor(Qt::red));
    }
    // The list went away: the box draws text only and does not reach it.
    EXPECT_EQ(list.ImageList(), nullptr);
    list.UpdateItemHeight();
    EXPECT_EQ(list.ItemHeight, text_height);
    EXPECT_FALSE(list.grab().toImage().isNull());
}

// A grid whose SendRights column offers three values with their own pictures.
struct RightsGrid : EditorGrid {
    ui::TCustomImageList images{16, 16};
    TgxDBGridImageColumn* rights;
    RightsGrid() {
        for (QColor c : {QColor(Qt::red), QColor(Qt::green), QColor(Qt::blue)})
            images.Add(Filled(c, 16));
        rights = Add<TgxDBGridImageColumn>("SendRights");
        Add<TgxDBGridColumn>("Item");
        rights->Values = {"True", "False", "Maybe"};
        rights->Descriptions = {"may send", "may not send", "asks first"};
        rights->SetImages(&images);
        rights->SetWidth(140);
    }
};

TEST(ImageEditor, PopupListDrawsEachValuesPictureBesideItsDescription) {
    RightsGrid g;
    // The second line is no number: that item shows no picture.
    g.rights->SetDefaultImages(false);
    g.rights->ImageIndexes = {"2", "x", "0"};
    g.rights->SetColor(ui::Color::FromQColor(QColor(255, 250, 200)));
    g.Bind();
    auto* editor = g.Open<TgxInplaceImageEdit>(2, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_F4);
    ASSERT_TRUE(editor->PopupShown());
    TgxPopupImageListBox* list = editor->List();
    EXPECT_EQ(list->ItemImages, (std::vector<int>{2, -2, 0}));
    EXPECT_EQ(list->ItemIndex, 1);  // the value False
    EXPECT_GE(list->width(), editor->width());
    EXPECT_EQ(list->height(), list->RowsHeight(3) + 2);
    const QImage shot = list->grab().toImage();
    shot.save(Shot("image_list_popup.png"));
    const struct {
        int item;
        QColor picture;
    } rows[] = {{0, Qt::blue}, {2, Qt::red}};
    for (const auto& r : rows) {
        const QRect item = list->ItemRect(r.item);
        EXPECT_EQ(QColor(shot.pixel(item.left() + 5, item.center().y())), r.picture) << r.item;
        // Unselected items take the editor's colour.
        EXPECT_EQ(QColor(shot.pixel(item.right() - 2, item.center().y())),
                  editor->GetColor().ToQColor());
    }
    EXPECT_EQ(editor->GetColor().ToQColor(), QColor(255, 250, 200));
    const QRect none = list->ItemRect(1);
    const QColor highlight = QApplication::palette().color(QPalette::Highlight);
    EXPECT_EQ(QColor(shot.pixel(none.left() + 5, none.center().y())), highlight);
    // Text follows the picture on every row.
    int ink = 0;
    for (int y = none.top(); y <= none.bottom(); ++y)
        for (int x = none.left() + 20; x < none.left() + 60; ++x)
            if (QColor(shot.pixel(x, y)) != highlight)
                ++ink;
    EXPECT_GT(ink, 10);
    QTest::keyClick(editor, Qt::Key_Up);
    QTest::keyClick(editor, Qt::Key_Return);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(2, "SendRights"), "True");
}

TEST(ImageColumn, AnImageListDestroyedUnderTheColumnIsForgotten) {
    RightsGrid g;
    auto doomed = std::make_unique<ui::TCustomImageList>(24, 24);
    doomed->Add(Filled(Qt::yellow, 24));
    g.rights->SetImages(doomed.get());
    g.rights->SetLargeImages(doomed.get());
    g.Bind();
    EXPECT_EQ(g.rights->GetMinCellHeight(), 24);
    // Fitting the column to its descriptions leaves room for the picture.
    g.grid->ApplyBestFit(g.rights);
    const int fitted_with_pictures = g.rights->Width();
    doomed.reset();
    g.grid->ApplyBestFit(g.rights);
    EXPECT_EQ(fitted_with_pictures - g.rights->Width(), 24);
    EXPECT_EQ(g.rights->Images(), nullptr);
    EXPECT_EQ(g.rights->LargeImages(), nullptr);
    EXPECT_EQ(g.rights->GetMinCellHeight(), 0);
    // Cells and the drop-down list still work, without pictures.
    const QImage shot = g.grid->grab().toImage();
    const ui::Rect cell = g.grid->GetCellRect(g.grid->FindNodeByKeyValue(db::Variant(2)), 0);
    EXPECT_NE(QColor(shot.pixel(cell.left + 5, (cell.top + cell.bottom) / 2)), QColor(Qt::yellow));
    auto* editor = g.Open<TgxInplaceImageEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_F4);
    ASSERT_TRUE(editor->PopupShown());
    EXPECT_EQ(editor->List()->ImageList(), nullptr);
    QTest::keyClick(editor, Qt::Key_Escape);
    g.Close();
}

TEST(GraphicColumn, CustomGraphicCellsStayEmptyOnlyAtDesignTime) {
    EditorGrid g;
    g.db.Table().Locate("Index", db::Variant(3), {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("Photo")->SetAsString(SavePictureToBlob(Filled(Qt::red, 40)));
    g.db.Table().Post();
    auto* photo = g.Add<TgxDBGridGraphicColumn>("Photo");
    g.Add<TgxDBGridColumn>("Item");
    g.grid->SetDefaultRowHeight(30);
    g.Bind();
    g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(1)));
    auto red_at_row_3 = [&] {
        const QImage shot = g.grid->grab().toImage();
        const ui::Rect cell = g.grid->GetCellRect(g.grid->FindNodeByKeyValue(db::Variant(3)), 0);
        return QColor(shot.pixel(cell.left + 10, cell.top + 10)) == QColor(Qt::red);
    };
    const struct {
        bool custom, designing, drawn;
    } cases[] = {
        {false, false, true}, {true, false, true}, {false, true, true}, {true, true, false}};
    for (const auto& c : cases) {
        photo->SetCustomGraphic(c.custom);
        photo->SetDesigning(c.designing);
        EXPECT_EQ(red_at_row_3(), c.drawn) << c.custom << c.designing;
    }
    photo->SetDesigning(false);
    // RestoreDefaults turns the custom class off again.
    photo->SetCustomGraphic(true);
    photo->RestoreDefaults();
    EXPECT_FALSE(photo->CustomGraphic());
}

TEST(PictureStream, ReadsTheBytesItLiesOverAndWritesNothing) {
    const std::string bytes = "abcdefghij";
    TMemoryStreamReadOnly stream(std::as_bytes(std::span(bytes)));
    EXPECT_EQ(stream.Size(), 10);
    EXPECT_EQ(reinterpret_cast<const char*>(stream.Memory()), bytes.data());  // no copy
    const std::array<std::byte, 3> xyz{std::byte{'x'}, std::byte{'y'}, std::byte{'z'}};
    EXPECT_EQ(stream.Write(xyz), 0);
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_THROW(stream.WriteBuffer(xyz), db::Exception);
    EXPECT_EQ(stream.ReadText(4), "abcd");
    stream.SetPosition(8);
    EXPECT_EQ(stream.ReadText(5), "ij");
    EXPECT_EQ(bytes, "abcdefghij");

    // Blob values: the 8-byte header is skipped only when it describes the rest exactly.
    const std::string bare = SavePictureToBlob(Filled(Qt::green, 6));
    auto header = [&](unsigned count, unsigned type, std::uint32_t size) {
        std::string h(8, '\0');
        h[0] = static_cast<char>(count), h[1] = static_cast<char>(count >> 8);
        h[2] = static_cast<char>(type), h[3] = static_cast<char>(type >> 8);
        for (int i = 0; i < 4; ++i)
            h[4 + i] = static_cast<char>(size >> (8 * i));
        return h;
    };
    const auto size = static_cast<std::uint32_t>(bare.size());
    EXPECT_EQ(LoadPictureFromBlob(header(1, 0x0100, size) + bare).pixel(2, 2),
              Filled(Qt::green, 6).pixel(2, 2));
    EXPECT_TRUE(LoadPictureFromBlob(header(2, 0x0100, size) + bare).isNull());
    EXPECT_TRUE(LoadPictureFromBlob(header(1, 0x0100, size + 1) + bare).isNull());
    EXPECT_TRUE(LoadPictureFromBlob(header(1, 0x0100, 0)).isNull());
    EXPECT_TRUE(LoadPictureFromBlob("").isNull());
}

TEST(BlobEditor, MemoScrollBarsFollowTheColumn) {
    const struct {
        TScrollStyle style;
        Qt::ScrollBarPolicy horizontal, vertical;
    } cases[] = {
        {TScrollStyle::ssNone, Qt::ScrollBarAlwaysOff, Qt::ScrollBarAlwaysOff},
        {TScrollStyle::ssHorizontal, Qt::ScrollBarAsNeeded, Qt::ScrollBarAlwaysOff},
        {TScrollStyle::ssVertical, Qt::ScrollBarAlwaysOff, Qt::ScrollBarAsNeeded},
        {TScrollStyle::ssBoth, Qt::ScrollBarAsNeeded, Qt::ScrollBarAsNeeded},
    };
    EditorGrid g;
    auto* notes = g.Add<TgxDBGridBlobColumn>("Notes");
    EXPECT_EQ(notes->MemoScrollBars(), TScrollStyle::ssBoth);
    EXPECT_TRUE(notes->MemoWantTabs());
    g.Bind();
    for (const auto& c : cases) {
        notes->SetMemoScrollBars(c.style);
        auto* editor = g.Open<TgxInplaceBlobEdit>(2, 0);
        ASSERT_NE(editor, nullptr);
        QTest::keyClick(editor, Qt::Key_F4);
        TCustomgxBlobPopup* popup = editor->BlobPopup();
        ASSERT_TRUE(popup != nullptr && popup->isVisible());
        EXPECT_EQ(popup->Memo().horizontalScrollBarPolicy(), c.horizontal);
        EXPECT_EQ(popup->Memo().verticalScrollBarPolicy(), c.vertical);
        popup->Cancel();
        g.grid->HideEditor();
    }
}

}  // namespace
}  // namespace grid::testing
