#include "platform/db/collection.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "platform/db/exception.h"

namespace db {
namespace {

class Band : public TCollectionItem {
  public:
    std::string Caption() const { return caption_; }
    void SetCaption(std::string caption) {
        if (caption != caption_) {
            caption_ = std::move(caption);
            Changed(false);
        }
    }
    void SetWidth(int width) {
        width_ = width;
        Changed(true);
    }
    int Width() const { return width_; }

    void Assign(const TPersistent& source) override {
        if (const auto* band = dynamic_cast<const Band*>(&source)) {
            caption_ = band->caption_;
            width_ = band->width_;
            return;
        }
        TCollectionItem::Assign(source);
    }

  private:
    std::string caption_;
    int width_ = 250;
};

class Bands : public TCollection {
  public:
    Bands() : TCollection(ItemClass<Band>()) {}
    Band* Item(std::int64_t index) const { return static_cast<Band*>(Items(index)); }

    std::vector<std::string> log;

  protected:
    void Update(TCollectionItem* item) override {
        log.push_back(item == nullptr ? "update all"
                                      : "update " + static_cast<Band*>(item)->Caption());
    }
    void Notify(TCollectionItem& item, TCollectionNotification action) override {
        static const char* const names[] = {"added", "extracting", "deleting"};
        log.push_back(std::string(names[action]) + " " + static_cast<Band&>(item).Caption());
    }
};

using Log = std::vector<std::string>;

TEST(Collection, AddInsertDeleteNotifyInOrder) {
    Bands bands;
    bands.Add();
    static_cast<Band*>(bands.Items(0))->SetCaption("a");
    bands.Insert(0);
    EXPECT_EQ(bands.Count(), 2);
    EXPECT_EQ(bands.Item(1)->Caption(), "a");
    EXPECT_EQ(bands.Item(1)->Index(), 1);
    bands.Delete(1);
    EXPECT_EQ(bands.log, (Log{"added ", "update all", "update a", "added ", "update all",
                              "deleting a", "extracting a", "update all"}));
    EXPECT_THROW(bands.Delete(5), EListError);
    EXPECT_THROW(bands.Insert(3), EListError);
}

TEST(Collection, UpdateBracketReportsOnceForTheWhole) {
    Bands bands;
    bands.BeginUpdate();
    bands.BeginUpdate();
    bands.Add();
    bands.Add();
    bands.Item(0)->SetCaption("x");
    bands.Item(1)->SetWidth(10);
    bands.EndUpdate();
    EXPECT_EQ(bands.log, (Log{"added ", "added "}));
    bands.EndUpdate();
    EXPECT_EQ(bands.log, (Log{"added ", "added ", "update all"}));
    bands.log.clear();
    bands.Item(1)->SetWidth(20);
    EXPECT_EQ(bands.log, (Log{"update all"}));
}

TEST(Collection, SetIndexMovesAndReportsTheWhole) {
    Bands bands;
    for (const char* caption : {"a", "b", "c"}) {
        static_cast<Band*>(bands.Add())->SetCaption(caption);
    }
    bands.log.clear();
    bands.Item(2)->SetIndex(0);
    EXPECT_EQ(bands.Item(0)->Caption(), "c");
    EXPECT_EQ(bands.Item(1)->Caption(), "a");
    bands.Item(0)->SetIndex(2);
    EXPECT_EQ(bands.Item(2)->Caption(), "c");
    EXPECT_EQ(bands.log, (Log{"update all", "update all"}));
    EXPECT_THROW(bands.Item(0)->SetIndex(3), EListError);
    EXPECT_EQ(bands.Item(0)->Caption(), "a");
}

TEST(Collection, IdsStayUniqueAfterDeletes) {
    Bands bands;
    TCollectionItem* first = bands.Add();
    TCollectionItem* second = bands.Add();
    bands.Delete(0);
    TCollectionItem* third = bands.Add();
    EXPECT_EQ(first == nullptr, false);
    EXPECT_NE(second->ID(), third->ID());
    EXPECT_EQ(bands.FindItemID(third->ID()), third);
    EXPECT_EQ(bands.FindItemID(0), nullptr);
}

TEST(Collection, AssignCopiesItems) {
    Bands source;
    static_cast<Band*>(source.Add())->SetCaption("left");
    static_cast<Band*>(source.Add())->SetWidth(99);
    Bands target;
    target.Add();
    target.Add();
    target.Add();
    target.log.clear();
    target.Assign(source);
    ASSERT_EQ(target.Count(), 2);
    EXPECT_EQ(target.Item(0)->Caption(), "left");
    EXPECT_EQ(target.Item(1)->Width(), 99);
    EXPECT_EQ(target.log.back(), "update all");
    EXPECT_EQ(std::count(target.log.begin(), target.log.end(), "update all"), 1);
    EXPECT_THROW(target.Assign(*source.Item(0)), EConvertError);
}

TEST(Collection, ItemsMoveBetweenCollectionsWithOwnership) {
    Bands one;
    Bands two;
    Band* band = static_cast<Band*>(one.Add());
    band->SetCaption("moving");
    band->SetCollection(two);
    EXPECT_EQ(one.Count(), 0);
    ASSERT_EQ(two.Count(), 1);
    EXPECT_EQ(two.Item(0), band);
    EXPECT_EQ(band->Collection(), &two);
    EXPECT_EQ(band->GetOwner(), &two);

    std::unique_ptr<TCollectionItem> taken = two.Extract(*band);
    EXPECT_EQ(band->Collection(), nullptr);
    EXPECT_EQ(band->Index(), -1);
    EXPECT_THROW(band->SetCollection(one), EListError);
    one.AddItem(std::move(taken));
    EXPECT_EQ(one.Item(0), band);
}

}  // namespace
}  // namespace db
