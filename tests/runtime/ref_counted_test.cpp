#include "runtime/ref_counted.h"

#include <gtest/gtest.h>

namespace {

int g_destroyed = 0;

class Counted : public virtual RefCounted {
  public:
    ~Counted() override { ++g_destroyed; }
};

// Reaches RefCounted along two paths; the virtual base gives it one count.
class Left : public virtual RefCounted {};
class Right : public virtual RefCounted {};
class Both : public Left, public Right {
  public:
    ~Both() override { ++g_destroyed; }
};

class Unrelated : public virtual RefCounted {};

class RefTest : public ::testing::Test {
  protected:
    void SetUp() override { g_destroyed = 0; }
};

TEST_F(RefTest, CountFollowsHoldersAndAssignmentAndDestroysOnce) {
    auto* object = new Counted;
    EXPECT_EQ(object->RefCount(), 0);
    {
        ref<Counted> first(object);
        EXPECT_EQ(object->RefCount(), 1);
        ref<Counted> second;
        second = object;
        EXPECT_EQ(object->RefCount(), 2);
        ref<Counted> copy(first);
        EXPECT_EQ(object->RefCount(), 3);
        ref<Counted> moved(std::move(copy));
        EXPECT_EQ(object->RefCount(), 3);
        EXPECT_EQ(copy.get(), nullptr);
    }
    EXPECT_EQ(g_destroyed, 1);

    // Assignment releases the old object and keeps its own.
    ref<Counted> holder(new Counted);
    Counted* raw = holder.get();
    holder = raw;
    EXPECT_EQ(raw->RefCount(), 1);
    ref<Counted>& alias = holder;
    holder = alias;
    EXPECT_EQ(raw->RefCount(), 1);
    EXPECT_EQ(g_destroyed, 1);
    holder = new Counted;
    holder = nullptr;
    EXPECT_EQ(g_destroyed, 3);

    // An object kept alive only by the old one.
    struct Node : RefCounted {
        ref<Node> next;
    };
    ref<Node> head(new Node);
    head->next = new Node;
    head = head->next.get();  // the old head owned the new one
    EXPECT_EQ(head->RefCount(), 1);
}

TEST_F(RefTest, VirtualBaseHasOneCountAndDcastRefChecksTheType) {
    {
        ref<Both> both(new Both);
        ref<Left> left(both);
        ref<Right> right(both);
        EXPECT_EQ(both->RefCount(), 3);
        ref<RefCounted> base(both);
        EXPECT_EQ(base->RefCount(), 4);
        dcast_ref<Right> right_again(base);
        ASSERT_TRUE(right_again);
        EXPECT_EQ(base->RefCount(), 5);
        dcast_ref<Unrelated> unrelated(base);
        EXPECT_FALSE(unrelated);
        EXPECT_EQ(base->RefCount(), 5);
    }
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_FALSE(dcast_ref<Counted>(ref<RefCounted>{}));
}

}  // namespace
