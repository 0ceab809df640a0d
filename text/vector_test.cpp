// The growable vectors: growth and zeroing, removal, destruction, the string and owning forms.
#include "tarnkernl/text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Vector, GrowsByHalfAgainOfWhatIsNeeded) {
    const uint32_t s = sizeof(void*);
    pConstVector<const void*> v;
    EXPECT_EQ(v.data, nullptr);
    const uint32_t expected[][2] = {{1, s + s / 2}, {2, 3 * s}, {3, 3 * s}, {4, 6 * s}};
    for (auto [count, capacity] : expected) {
        ASSERT_TRUE(v.SetCount(count));
        EXPECT_EQ(v.capacity, capacity) << count;
    }
    struct Entry {
        uint32_t handler, user;
    };
    Vector<Entry> entries;
    ASSERT_NE(entries.Append({1, 2}), nullptr);
    EXPECT_EQ(entries.capacity, 12u);
    EXPECT_EQ(entries.At(0)->user, 2u);
    EXPECT_EQ(entries.At(1), nullptr);
}

TEST(Vector, ShrinkingKeepsTheStorageAndRegrowingZeroes) {
    Vector<uint32_t> v;
    for (uint32_t i = 1; i <= 5; ++i)
        v.Append(i);
    void* data = v.data;
    ASSERT_TRUE(v.SetCount(2));
    EXPECT_EQ(v.data, data);
    EXPECT_EQ(static_cast<uint32_t*>(v.data)[4], 5u);
    EXPECT_EQ(v.At(2), nullptr);
    ASSERT_TRUE(v.SetCount(5));
    EXPECT_EQ(*v.At(1), 2u);
    EXPECT_EQ(*v.At(2) + *v.At(4), 0u);
}

TEST(Vector, RemoveAtMovesTheTailDownAndADestroyedVectorRefusesToGrow) {
    int a, b, c;
    pConstVector<const int*> v;
    EXPECT_EQ(v.Append(nullptr), nullptr);  // stored, but reported as a failure
    EXPECT_EQ(v.Count(), 1u);
    *v.At(0) = &a;
    EXPECT_EQ(v.Append(&b), &b);
    v.Append(&c);
    const int* const* slots = static_cast<const int* const*>(v.data);

    EXPECT_FALSE(v.RemoveAt(3));
    ASSERT_TRUE(v.RemoveAt(0));
    EXPECT_EQ(v.Count(), 2u);
    EXPECT_EQ(slots[0], &b);
    EXPECT_EQ(slots[1], &c);
    EXPECT_EQ(slots[2], nullptr);
    ASSERT_TRUE(v.RemoveAt(1));
    EXPECT_EQ(v.Count(), 1u);
    EXPECT_EQ(slots[1], nullptr);

    // A destroyed vector refuses to grow.
    v.Destroy();
    EXPECT_EQ(v.capacity, 0xFFFFFFFFu);
    EXPECT_EQ(v.Append(&a), nullptr);
    EXPECT_FALSE(v.SetCount(1));
    EXPECT_EQ(v.Count(), 0u);
    EXPECT_EQ(v.At(0), nullptr);
}

// An element whose destruction can be counted; all-zero is its empty state.
struct Counted {
    int* destroyed;
    ~Counted() {
        if (destroyed)
            ++*destroyed;
    }
};

TEST(Vector, ElementsAreDestroyedOnceWhenTheyLeave) {
    int destroyed[4] = {};
    {
        Vector<Counted> v;
        ASSERT_TRUE(v.SetCount(4));
        for (uint32_t i = 0; i < 4; ++i)
            v.At(i)->destroyed = &destroyed[i];
        ASSERT_TRUE(v.RemoveAt(1));
        EXPECT_EQ(destroyed[1], 1);
        EXPECT_EQ(v.At(1)->destroyed, &destroyed[2]);
        ASSERT_TRUE(v.SetCount(2));  // cuts off the last one
        EXPECT_EQ(destroyed[3], 1);
        EXPECT_EQ(destroyed[0] + destroyed[2], 0);
    }
    for (int n : destroyed)
        EXPECT_EQ(n, 1);

    // An owning vector without a deleter deletes its elements.
    int deleted = 0;
    {
        pVector<Counted*> v;
        v.Append(new Counted{&deleted});
        v.Append(new Counted{&deleted});
        ASSERT_TRUE(v.DeleteAt(0));
        EXPECT_EQ(deleted, 1);
    }
    EXPECT_EQ(deleted, 2);
}

TEST(Vector, StringElements) {
    Vector<str> v;
    EXPECT_STREQ(v.Append("alpha")->p, "alpha");
    EXPECT_EQ(v.Append(nullptr)->p, nullptr);  // a zeroed element: the null string
    v.Append("beta");
    v.Append(str("alpha"));
    EXPECT_EQ(v.FindText("alpha"), 4u);  // the last of the equal texts
    EXPECT_EQ(v.FindText("beta"), 3u);
    EXPECT_EQ(v.FindText("gamma"), 0u);
    ASSERT_TRUE(v.RemoveAt(3));
    EXPECT_EQ(v.FindText("alpha"), 1u);
    for (int i = 0; i < 100; ++i)
        ASSERT_NE(v.Append("more"), nullptr);  // growing moves the strings
    EXPECT_STREQ(v.At(2)->p, "beta");
}

std::vector<int*> gDeleted;
pVector<int*>* gOwner;

// Records the element and checks that its slot no longer holds it.
void RecordingDeleter(int** element) {
    gDeleted.push_back(*element);
    for (uint32_t i = 0; i < gOwner->Count(); ++i)
        EXPECT_NE(*gOwner->At(i), *element);
    delete *element;
}

TEST(OwningVector, DeleterSeesEveryElementOnceLastToFirst) {
    gDeleted.clear();
    std::vector<int*> appended;
    {
        pVector<int*> v(RecordingDeleter);
        gOwner = &v;
        for (int i = 0; i < 5; ++i)
            appended.insert(appended.begin(), v.Append(new int(i)));
        v.Append(nullptr);  // a null slot is skipped
    }
    EXPECT_EQ(gDeleted, appended);

    gDeleted.clear();
    pVector<int*> v(RecordingDeleter);
    gOwner = &v;
    int* a = v.Append(new int(1));
    int* b = v.Append(new int(2));
    int* c = v.Append(new int(3));
    EXPECT_FALSE(v.DeleteAt(3));
    ASSERT_TRUE(v.DeleteAt(1));
    int other = 0;
    EXPECT_FALSE(v.DeleteValue(&other));
    ASSERT_TRUE(v.DeleteValue(a));
    EXPECT_EQ(gDeleted, (std::vector<int*>{b, a}));
    EXPECT_EQ(v.Count(), 1u);
    EXPECT_EQ(*v.At(0), c);
}

}  // namespace
