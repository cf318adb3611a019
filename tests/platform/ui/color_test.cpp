#include <gtest/gtest.h>

#include <QColor>
#include <QFont>

#include "platform/ui/color.h"
#include "platform/ui/font.h"

namespace ui {
namespace {

TEST(Color, SystemColoursResolveThroughTheFixedTable) {
    EXPECT_TRUE(clBtnFace.IsSystem());
    EXPECT_EQ(clBtnFace.Value(), static_cast<std::int32_t>(0x8000000F));
    EXPECT_EQ(clBtnFace.ToRgb(), 0xC8D0D4u);
    EXPECT_EQ(clWindow.ToQColor(), QColor(255, 255, 255));
    EXPECT_EQ(clHighlight.ToQColor(), QColor(10, 36, 106));
    EXPECT_EQ(clRed.ToRgb(), 0x0000FFu);
    EXPECT_EQ(clRed.ToQColor(), QColor(255, 0, 0));
    EXPECT_EQ(Color::System(200).ToRgb(), 0u);  // unknown index: black, never out of bounds
}

TEST(Color, SentinelIsOneValueUnderBothNames) {
    EXPECT_EQ(clNone.Value(), 536870911);
    EXPECT_EQ(clDefault, clNone);
    EXPECT_TRUE(clNone.IsNone());
    EXPECT_FALSE(clNone.IsSystem());
    EXPECT_FALSE(clBlack.IsNone());
    EXPECT_EQ(Color::FromQColor(QColor(1, 2, 3)), Color::Rgb(1, 2, 3));
}

TEST(Font, OnChangeFiresOnlyForRealChanges) {
    TFont font;
    int changes = 0;
    font.OnChange = [&] { ++changes; };
    font.SetSize(font.Size());
    font.SetName(font.Name());
    EXPECT_EQ(changes, 0);
    font.SetSize(12);
    font.SetStyle(fsBold | fsItalic);
    font.SetColor(clBlue);
    EXPECT_EQ(changes, 3);
    TFont other;
    other.Assign(font);
    EXPECT_TRUE(other.SameAs(font));
    EXPECT_TRUE(other.ToQFont().bold());
    EXPECT_TRUE(other.ToQFont().italic());
    EXPECT_EQ(other.ToQFont().pointSize(), 12);
}

}  // namespace
}  // namespace ui
