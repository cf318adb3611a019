#include "platform/db/component.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/db/exception.h"

namespace db {
namespace {

// Writes what happens to it into a shared log.
class Probe : public TComponent {
  public:
    Probe(TComponent* owner, std::string label, std::vector<std::string>& log)
        : TComponent(owner), label_(std::move(label)), log_(log) {}
    ~Probe() override {
        Destroying();
        log_.push_back("~" + label_);
    }

    void Loaded() override {
        TComponent::Loaded();
        log_.push_back("loaded " + label_);
    }

    TComponent* seen = nullptr;
    bool saw_destroying_owner = false;

  protected:
    void Notification(TComponent* component, TOperation operation) override {
        TComponent::Notification(component, operation);
        const auto* probe = dynamic_cast<Probe*>(component);
        const std::string other = probe != nullptr ? probe->label_ : component->Name();
        log_.push_back(label_ + (operation == opInsert ? " +" : " -") + other);
        if (operation == opRemove && component == seen) {
            seen = nullptr;
        }
    }

  private:
    std::string label_;
    std::vector<std::string>& log_;
};

using Log = std::vector<std::string>;

class Target : public TPersistent {
  public:
    std::string value;
};

// Knows how to copy itself into a Target, which does not know it.
class Source : public TPersistent {
  public:
    std::string value = "from source";

  protected:
    void AssignTo(TPersistent& dest) const override {
        if (auto* target = dynamic_cast<Target*>(&dest)) {
            target->value = value;
            return;
        }
        TPersistent::AssignTo(dest);
    }
};

TEST(Persistent, AssignFallsBackToTheSourcesAssignTo) {
    Target target;
    Source source;
    target.Assign(source);
    EXPECT_EQ(target.value, "from source");
    try {
        source.Assign(target);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a Target to a Source");
    }
}

TEST(Component, OwnerFreesOwnedComponentsLastFirst) {
    Log log;
    {
        Probe owner(nullptr, "owner", log);
        MakeOwned<Probe>(owner, "a", log);
        MakeOwned<Probe>(owner, "b", log);
        EXPECT_EQ(owner.ComponentCount(), 2);
        log.clear();
    }
    // b goes first; a hears of it as b's sibling; the owner's own notifications run in the base
    // class once its derived part is gone, so only a and the dying components write.
    EXPECT_EQ(log, (Log{"~owner", "b -b", "a -b", "~b", "a -a", "~a"}));
}

TEST(Component, InsertionIsAnnouncedToOwnerAndItsComponents) {
    Log log;
    Probe owner(nullptr, "owner", log);
    MakeOwned<Probe>(owner, "a", log);
    log.clear();
    MakeOwned<Probe>(owner, "b", log);
    // Once b is complete: the owner's components from the last one down (b itself included),
    // then the owner's own handler, which calls the inherited one first.
    EXPECT_EQ(log, (Log{"b +b", "a +b", "owner +b"}));
}

TEST(Component, FreeRemovesFromOwnerAndTellsSiblings) {
    Log log;
    Probe owner(nullptr, "owner", log);
    Probe* a = MakeOwned<Probe>(owner, "a", log);
    Probe* b = MakeOwned<Probe>(owner, "b", log);
    a->seen = b;
    log.clear();
    b->Free();
    EXPECT_EQ(owner.ComponentCount(), 1);
    EXPECT_EQ(owner.Components(0), a);
    EXPECT_EQ(a->seen, nullptr);
    EXPECT_EQ(log, (Log{"b -b", "a -b", "owner -b", "~b"}));
}

TEST(Component, FreeNotificationReachesAcrossOwners) {
    Log log;
    Probe form1(nullptr, "form1", log);
    Probe form2(nullptr, "form2", log);
    Probe* source = MakeOwned<Probe>(form1, "source", log);
    Probe* grid = MakeOwned<Probe>(form2, "grid", log);
    grid->seen = source;
    grid->FreeNotification(*source);
    EXPECT_TRUE(grid->ComponentState().Contains(csFreeNotification));
    log.clear();
    source->Free();
    EXPECT_EQ(grid->seen, nullptr);
    // The linked component first, then the owner's family, all while source is still whole.
    EXPECT_EQ(log, (Log{"grid -source", "source -source", "form1 -source", "~source"}));

    // Unlinked components hear nothing.
    Probe* other = MakeOwned<Probe>(form1, "other", log);
    grid->FreeNotification(*other);
    grid->RemoveFreeNotification(*other);
    log.clear();
    other->Free();
    EXPECT_EQ(log, (Log{"other -other", "form1 -other", "~other"}));
}

TEST(Component, FreeNotificationIsMutual) {
    Log log;
    auto a = MakeComponent<Probe>(nullptr, "a", log);
    auto b = MakeComponent<Probe>(nullptr, "b", log);
    b->FreeNotification(*a);
    b->FreeNotification(*a);  // twice links once
    log.clear();
    b.reset();
    EXPECT_EQ(log, (Log{"a -b", "~b"}));

    auto c = MakeComponent<Probe>(nullptr, "c", log);
    a->FreeNotification(*c);
    log.clear();
    a.reset();
    EXPECT_EQ(log, (Log{"c -a", "~a"}));
}

TEST(Component, CallerHeldComponentIsAnnouncedAndNotFreedByOwner) {
    Log log;
    auto owner = MakeComponent<Probe>(nullptr, "owner", log);
    log.clear();
    auto held = MakeComponent<Probe>(owner.get(), "held", log);
    EXPECT_EQ(log, (Log{"held +held", "owner +held"}));
    EXPECT_EQ(owner->ComponentCount(), 1);
    EXPECT_THROW(held->Free(), EComponentError);
    log.clear();
    held.reset();
    EXPECT_EQ(log, (Log{"held -held", "owner -held", "~held"}));
    EXPECT_EQ(owner->ComponentCount(), 0);
}

TEST(Component, ComponentsHeldElsewhereAreNeverFreedByTheOwner) {
    Log log;
    auto owner = std::make_unique<Probe>(nullptr, "owner", log);
    auto kept = std::make_unique<Probe>(owner.get(), "kept", log);
    EXPECT_EQ(kept->Owner(), owner.get());
    EXPECT_THROW(kept->Free(), EComponentError);
    owner.reset();
    EXPECT_EQ(kept->Owner(), nullptr);
    kept.reset();  // sanitizers report a double free if the owner had deleted it

    Probe stack_owner(nullptr, "stack", log);
    {
        Probe local(&stack_owner, "local", log);
        EXPECT_EQ(stack_owner.ComponentCount(), 1);
    }
    EXPECT_EQ(stack_owner.ComponentCount(), 0);
}

TEST(Component, RemoveComponentHandsOverOwnership) {
    Log log;
    Probe owner(nullptr, "owner", log);
    Probe* a = MakeOwned<Probe>(owner, "a", log);
    ComponentPtr<TComponent> taken = owner.RemoveComponent(*a);
    EXPECT_EQ(taken.get(), a);
    EXPECT_EQ(a->Owner(), nullptr);
    EXPECT_EQ(owner.ComponentCount(), 0);

    Probe other(nullptr, "other", log);
    other.InsertComponent(std::move(taken));
    EXPECT_EQ(a->Owner(), &other);
    EXPECT_NO_THROW(a->Free());
    EXPECT_EQ(other.ComponentCount(), 0);
}

TEST(Component, InsertRefusesComponentWithOwner) {
    Log log;
    Probe owner(nullptr, "owner", log);
    Probe* a = MakeOwned<Probe>(owner, "a", log);
    Probe other(nullptr, "other", log);
    EXPECT_THROW(other.InsertComponent(*a), EComponentError);
    EXPECT_EQ(a->Owner(), &owner);
}

struct NameCase {
    const char* name;
    bool valid;
};

class ComponentName : public ::testing::TestWithParam<NameCase> {};

TEST_P(ComponentName, IsValidated) {
    TComponent component(nullptr);
    if (GetParam().valid) {
        EXPECT_NO_THROW(component.SetName(GetParam().name));
        EXPECT_EQ(component.Name(), GetParam().name);
    } else {
        try {
            component.SetName(GetParam().name);
            FAIL();
        } catch (const EComponentError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "'" + std::string(GetParam().name) + "' is not a valid component name");
        }
        EXPECT_EQ(component.Name(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Names, ComponentName,
                         ::testing::Values(NameCase{"tblCV", true}, NameCase{"_x1", true},
                                           NameCase{"", true}, NameCase{"1abc", false},
                                           NameCase{"a b", false}, NameCase{"a-b", false},
                                           NameCase{"Zoë", false}));

TEST(Component, DuplicateNamesInOneOwnerAreRefusedCaseAside) {
    TComponent owner(nullptr);
    TComponent* a = MakeOwned<TComponent>(owner);
    TComponent* b = MakeOwned<TComponent>(owner);
    a->SetName("tblCV");
    try {
        b->SetName("TBLcv");
        FAIL();
    } catch (const EComponentError& e) {
        EXPECT_STREQ(e.what(), "A component named TBLcv already exists");
    }
    EXPECT_EQ(b->Name(), "");
    EXPECT_NO_THROW(a->SetName("TBLCV"));  // a new spelling of its own name
    EXPECT_EQ(owner.FindComponent("tblcv"), a);
    EXPECT_EQ(owner.FindComponent(""), nullptr);

    TComponent other_owner(nullptr);
    TComponent* c = MakeOwned<TComponent>(other_owner);
    EXPECT_NO_THROW(c->SetName("tblCV"));

    auto named = std::make_unique<TComponent>(nullptr);
    named->SetName("tblcv");
    EXPECT_THROW(owner.InsertComponent(*named), EComponentError);
    EXPECT_EQ(named->Owner(), nullptr);
}

TEST(Component, IndexesAndTag) {
    TComponent owner(nullptr);
    TComponent* a = MakeOwned<TComponent>(owner);
    TComponent* b = MakeOwned<TComponent>(owner);
    EXPECT_EQ(a->ComponentIndex(), 0);
    EXPECT_EQ(b->ComponentIndex(), 1);
    EXPECT_EQ(owner.ComponentIndex(), -1);
    EXPECT_THROW(owner.Components(2), EListError);
    b->SetTag(-7);
    EXPECT_EQ(b->Tag(), -7);
    EXPECT_EQ(b->GetOwner(), &owner);
}

TEST(Component, DestroyingIsSeenByOwnedComponents) {
    bool owned_saw_destroying = false;
    class Watcher : public TComponent {
      public:
        Watcher(TComponent* owner, bool& flag) : TComponent(owner), flag_(flag) {}
        ~Watcher() override {
            flag_ = Owner() == nullptr && ComponentState().Contains(csDestroying);
        }

      private:
        bool& flag_;
    };
    {
        TComponent owner(nullptr);
        MakeOwned<Watcher>(owner, owned_saw_destroying);
    }
    EXPECT_TRUE(owned_saw_destroying);
}

TEST(Component, LoadingRunsLoadedRootFirst) {
    Log log;
    Probe root(nullptr, "root", log);
    Probe* a = MakeOwned<Probe>(root, "a", log);
    Probe* inner = MakeOwned<Probe>(*a, "inner", log);
    Probe* b = MakeOwned<Probe>(root, "b", log);
    LoadComponent(root);
    EXPECT_TRUE(inner->ComponentState().Contains(csLoading));
    EXPECT_TRUE(b->ComponentState().Contains(csLoading));
    log.clear();
    EndLoadComponent(root);
    EXPECT_EQ(log, (Log{"loaded root", "loaded a", "loaded inner", "loaded b"}));
    EXPECT_FALSE(inner->ComponentState().Contains(csLoading));
}

TEST(Component, DesigningReachesOwnedAndInsertedComponents) {
    TComponent owner(nullptr);
    TComponent* a = MakeOwned<TComponent>(owner);
    owner.SetDesigning(true);
    EXPECT_TRUE(a->ComponentState().Contains(csDesigning));
    TComponent* b = MakeOwned<TComponent>(owner);
    EXPECT_TRUE(b->ComponentState().Contains(csDesigning));
    owner.SetDesigning(false);
    EXPECT_FALSE(b->ComponentState().Contains(csDesigning));
}

}  // namespace
}  // namespace db
