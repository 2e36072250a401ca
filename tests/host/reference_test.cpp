#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

#include "host/interval.h"
#include "host/reference.h"

namespace {

TEST(Interval, ValidityArithmetic) {
  EXPECT_TRUE(NEVER.Empty());
  EXPECT_FALSE(NEVER.InInterval(TIME_NegInfinity));
  EXPECT_TRUE(FOREVER.InInterval(TIME_NegInfinity));
  EXPECT_TRUE(FOREVER.InInterval(TIME_PosInfinity));
  EXPECT_EQ(Interval(10, 20) & Interval(15, 40), Interval(15, 20));
  EXPECT_EQ(Interval(10, 20) & FOREVER, Interval(10, 20));
  EXPECT_TRUE((Interval(10, 20) & Interval(21, 40)).Empty());
  EXPECT_TRUE((FOREVER & NEVER).Empty());
  EXPECT_TRUE(Interval(5, 4).Empty());
  Interval instant;
  instant.SetInstant(160);
  EXPECT_TRUE(instant.InInterval(160));
  EXPECT_FALSE(instant.InInterval(161));
  Interval narrowed = FOREVER;
  narrowed &= Interval(0, 4800);
  narrowed &= Interval(-100, 2000);
  EXPECT_EQ(narrowed, Interval(0, 2000));
}

// A target with a few reference slots that records what it hears and when it dies.
class Item : public ReferenceTarget {
 public:
  explicit Item(std::vector<const Item*>* deaths = nullptr, int slots = 2) : refs_(slots, nullptr), deaths_(deaths) {}
  ~Item() override {
    if (deaths_ != nullptr) deaths_->push_back(this);
  }
  int NumRefs() override { return static_cast<int>(refs_.size()); }
  RefTargetHandle GetReference(int i) override { return i >= 0 && i < NumRefs() ? refs_[i] : nullptr; }
  RefResult NotifyRefChanged(const Interval&, RefTargetHandle target, PartID& part, RefMessage message) override {
    heard.push_back({target, part, message});
    if (echo != nullptr && echoes-- > 0) echo->NotifyDependents(FOREVER, PART_ALL, message);
    return answer;
  }
  ReferenceTarget* Clone(RemapDir& remap) override {
    auto* copy = new Item(deaths_, NumRefs());
    for (int i = 0; i < NumRefs(); ++i) copy->ReplaceReference(i, remap.CloneRef(refs_[i]));
    return copy;
  }

  struct Heard {
    RefTargetHandle target;
    PartID part;
    RefMessage message;
  };
  std::vector<Heard> heard;
  RefResult answer = REF_SUCCEED;  // what NotifyRefChanged answers
  // When set, NotifyRefChanged sends what it heard again from echo, at most echoes times.
  ReferenceTarget* echo = nullptr;
  int echoes = 0;

 protected:
  void SetReference(int i, RefTargetHandle target) override { refs_[i] = target; }

 private:
  std::vector<RefTargetHandle> refs_;
  std::vector<const Item*>* deaths_;
};

TEST(References, ReplaceKeepsBothSidesAndDeletesWhatIsLeftUnreferenced) {
  std::vector<const Item*> deaths;
  auto* owner = new Item(&deaths);
  auto* a = new Item(&deaths);
  auto* b = new Item(&deaths);
  ASSERT_EQ(owner->ReplaceReference(0, a), REF_SUCCEED);
  ASSERT_EQ(owner->ReplaceReference(1, a), REF_SUCCEED);
  EXPECT_EQ(owner->GetReference(0), a);
  EXPECT_EQ(a->DependentCount(), 2);
  EXPECT_EQ(owner->ReplaceReference(2, b), REF_FAIL);  // no such slot

  a->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  ASSERT_EQ(owner->heard.size(), 1u);  // two references, one message
  EXPECT_EQ(owner->heard[0].target, a);
  EXPECT_EQ(owner->heard[0].message, REFMSG_CHANGE);
  EXPECT_EQ(owner->heard[0].part, PART_ALL);

  // a is still held by slot 1, so replacing slot 0 keeps it alive.
  owner->ReplaceReference(0, b);
  EXPECT_TRUE(deaths.empty());
  owner->ReplaceReference(1, b);
  ASSERT_EQ(deaths.size(), 1u);
  EXPECT_EQ(deaths[0], a);

  // Without deleteOld the old target survives, unreferenced, for the caller to keep.
  auto* kept = new Item(&deaths);
  owner->ReplaceReference(0, kept);
  owner->ReplaceReference(0, b, FALSE);
  EXPECT_EQ(deaths.size(), 1u);
  EXPECT_EQ(kept->DependentCount(), 0);
  kept->DeleteThis();

  // Deleting the owner releases b, which nobody else holds.
  owner->DeleteThis();
  EXPECT_EQ(deaths.back(), b);
}

TEST(References, AMakerReleasingATargetItSharesWithItsChildDeletesEachOnce) {
  std::vector<const Item*> deaths;
  auto* owner = new Item(&deaths);
  auto* first = new Item(&deaths);
  auto* second = new Item(&deaths);
  // The owner's targets used to be released in address order, and the lower one went first: make
  // that the one holding the other, whose deletion then deletes the other before its turn.
  Item* parent = std::less<Item*>()(first, second) ? first : second;
  Item* child = parent == first ? second : first;
  ASSERT_EQ(parent->ReplaceReference(0, child), REF_SUCCEED);
  ASSERT_EQ(owner->ReplaceReference(0, parent), REF_SUCCEED);
  ASSERT_EQ(owner->ReplaceReference(1, child), REF_SUCCEED);
  owner->DeleteThis();
  const std::vector<const Item*> expected{owner, parent, child};
  EXPECT_EQ(deaths, expected);
}

TEST(References, CyclesAreRefused) {
  std::vector<const Item*> deaths;
  auto* a = new Item(&deaths);
  auto* b = new Item(&deaths);
  auto* c = new Item(&deaths);
  EXPECT_EQ(a->ReplaceReference(0, a), REF_FAIL);
  ASSERT_EQ(a->ReplaceReference(0, b), REF_SUCCEED);
  ASSERT_EQ(b->ReplaceReference(0, c), REF_SUCCEED);
  EXPECT_EQ(c->ReplaceReference(1, a), REF_FAIL);
  EXPECT_EQ(b->ReplaceReference(1, a), REF_FAIL);
  EXPECT_EQ(c->GetReference(1), nullptr);
  EXPECT_EQ(a->DependentCount(), 0);
  // A shared target is not a cycle.
  auto* d = new Item(&deaths);
  EXPECT_EQ(d->ReplaceReference(0, b), REF_SUCCEED);
  EXPECT_EQ(d->ReplaceReference(1, c), REF_SUCCEED);
  EXPECT_TRUE(d->RefersTo(c));
  EXPECT_FALSE(c->RefersTo(d));
  d->DeleteThis();
  EXPECT_EQ(deaths, (std::vector<const Item*>{d}));  // b and c are still held by a
  a->DeleteThis();
  EXPECT_EQ(deaths.size(), 4u);
}

TEST(References, DeletedTargetsAreForgottenByTheirDependents) {
  auto* owner = new Item();
  auto* target = new Item();
  owner->ReplaceReference(0, target);
  owner->ReplaceReference(1, target);
  target->DeleteThis();
  EXPECT_EQ(owner->GetReference(0), nullptr);
  EXPECT_EQ(owner->GetReference(1), nullptr);
  ASSERT_EQ(owner->heard.size(), 1u);
  EXPECT_EQ(owner->heard[0].message, REFMSG_TARGET_DELETED);
  EXPECT_FALSE(owner->RefersTo(target));
  owner->DeleteThis();
}

// leaf <- middle <- top, and a second path leaf <- side <- top.
TEST(References, MessagesPassOnToDependentsOfDependentsUnlessStopped) {
  auto* top = new Item();
  auto* middle = new Item();
  auto* side = new Item();
  auto* leaf = new Item();
  top->ReplaceReference(0, middle);
  top->ReplaceReference(1, side);
  middle->ReplaceReference(0, leaf);
  side->ReplaceReference(0, leaf);

  // top hears once, from whichever of its targets passed the message on first.
  EXPECT_EQ(leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE), REF_SUCCEED);
  ASSERT_EQ(middle->heard.size(), 1u);
  EXPECT_EQ(middle->heard[0].target, leaf);
  ASSERT_EQ(side->heard.size(), 1u);
  ASSERT_EQ(top->heard.size(), 1u);
  EXPECT_EQ(top->heard[0].target, middle);
  EXPECT_EQ(top->heard[0].message, REFMSG_CHANGE);

  // Without propagation only the direct dependents hear.
  top->heard.clear();
  leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE, NOTIFY_ALL, FALSE);
  EXPECT_EQ(middle->heard.size(), 2u);
  EXPECT_TRUE(top->heard.empty());

  // REF_STOP from a dependent keeps the message from its own dependents; the other path still
  // carries it.
  top->heard.clear();
  middle->answer = REF_STOP;
  leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  ASSERT_EQ(top->heard.size(), 1u);
  EXPECT_EQ(top->heard[0].target, side);
  top->heard.clear();
  side->answer = REF_STOP;
  leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  EXPECT_TRUE(top->heard.empty());

  // A class filter: only dependents of that super class hear (and pass it on).
  middle->heard.clear();
  leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE, 0x777);
  EXPECT_TRUE(middle->heard.empty());
  top->DeleteThis();
}

TEST(References, AMessageSentAgainWhileItTravelsReachesNobodyTwice) {
  auto* top = new Item();
  auto* middle = new Item();
  auto* leaf = new Item();
  top->ReplaceReference(0, middle);
  middle->ReplaceReference(0, leaf);
  // top answers by sending the same message from leaf again (a loop through the handlers that
  // the reference graph cannot see), and middle forwards it itself as well as propagating.
  top->echo = leaf;
  top->echoes = 4;
  middle->echo = middle;
  middle->echoes = 4;
  leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  EXPECT_EQ(middle->heard.size(), 1u);
  EXPECT_EQ(top->heard.size(), 1u);
  // A later message is a new one and is heard again.
  top->echoes = 0;
  middle->echoes = 0;
  leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  EXPECT_EQ(middle->heard.size(), 2u);
  EXPECT_EQ(top->heard.size(), 2u);
  top->DeleteThis();
}

// A scene held in a static is torn down after the thread's own thread_locals are gone; its
// messages must still travel (under AddressSanitizer the delivery stack once read freed memory).
// Ends the process: 7 when the last message was heard.
[[noreturn]] void NotifyFromAStaticDestroyedAtExit() {
  auto* top = new Item();
  auto* leaf = new Item();
  top->ReplaceReference(0, leaf);
  leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  struct AtExit {
    Item* top;
    Item* leaf;
    ~AtExit() {
      const std::size_t before = top->heard.size();
      leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
      std::_Exit(top->heard.size() == before + 1 ? 7 : 1);
    }
  };
  static AtExit atExit{top, leaf};
  std::exit(0);
}

TEST(References, MessagesStillTravelWhileStaticsAreDestroyedAtExit) {
  EXPECT_EXIT(NotifyFromAStaticDestroyedAtExit(), ::testing::ExitedWithCode(7), "");
}

TEST(References, CloneRefCopiesASharedTargetOnce) {
  std::vector<const Item*> deaths;
  auto* shared = new Item(&deaths);
  auto* left = new Item(&deaths);
  auto* right = new Item(&deaths);
  auto* root = new Item(&deaths);
  left->ReplaceReference(0, shared);
  right->ReplaceReference(0, shared);
  root->ReplaceReference(0, left);
  root->ReplaceReference(1, right);

  RemapDir remap;
  auto* copy = static_cast<Item*>(remap.CloneRef(root));
  ASSERT_NE(copy, nullptr);
  auto* copyLeft = copy->GetReference(0);
  auto* copyRight = copy->GetReference(1);
  ASSERT_NE(copyLeft, left);
  EXPECT_EQ(copyLeft->GetReference(0), copyRight->GetReference(0));
  EXPECT_NE(copyLeft->GetReference(0), shared);
  EXPECT_EQ(remap.FindMapping(shared), copyLeft->GetReference(0));
  EXPECT_EQ(remap.CloneRef(nullptr), nullptr);

  copy->DeleteThis();
  root->DeleteThis();
  EXPECT_EQ(deaths.size(), 8u);  // both trees, shared parts once each
}

}  // namespace
