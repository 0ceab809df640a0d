// The growable vectors: growth and zeroing, removal, destruction, the string and owning forms.
#include "tarnkernl/text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

uint32_t Grown(uint32_t needed) {
    return needed + needed / 2;
}

TEST(Vector, GrowsByHalfAgainOfWhatIsNeeded) {
    pConstVector<const void*> v;
    EXPECT_EQ(v.capacity, 0u);
    EXPECT_EQ(v.Count(), 0u);
    EXPECT_EQ(v.data, nullptr);

    ASSERT_TRUE(v.SetCount(1));
    EXPECT_EQ(v.capacity, Grown(sizeof(void*)));
    ASSERT_TRUE(v.SetCount(2));
    EXPECT_EQ(v.capacity, Grown(2 * sizeof(void*)));
    if (sizeof(void*) == 4) {
        // The 32-bit numbers every module of the family relies on.
        pConstVector<const void*> w;
        ASSERT_TRUE(w.SetCount(1));
        EXPECT_EQ(w.capacity, 6u);
        ASSERT_TRUE(w.SetCount(2));
        EXPECT_EQ(w.capacity, 12u);
        ASSERT_TRUE(w.SetCount(3));
        EXPECT_EQ(w.capacity, 12u);
        ASSERT_TRUE(w.SetCount(4));
        EXPECT_EQ(w.capacity, 24u);
    }

    // Records of two 32-bit fields grow by their own size.
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
        ASSERT_NE(v.Append(i), nullptr);
    uint32_t capacity = v.capacity;
    void* data = v.data;
    ASSERT_TRUE(v.SetCount(2));
    EXPECT_EQ(v.capacity, capacity);
    EXPECT_EQ(v.data, data);
    EXPECT_EQ(static_cast<uint32_t*>(v.data)[4], 5u);   // beyond the count, not yet zeroed
    EXPECT_EQ(v.At(2), nullptr);
    ASSERT_TRUE(v.SetCount(5));
    EXPECT_EQ(*v.At(1), 2u);
    EXPECT_EQ(*v.At(2), 0u);
    EXPECT_EQ(*v.At(4), 0u);
}

TEST(Vector, RemoveAtMovesTheTailDownAndZeroesTheVacatedSlot) {
    int a, b, c;
    pConstVector<const int*> v;
    ASSERT_EQ(v.Append(&a), &a);
    ASSERT_EQ(v.Append(&b), &b);
    ASSERT_EQ(v.Append(&c), &c);
    auto slots = [&] { return static_cast<const int* const*>(v.data); };

    EXPECT_FALSE(v.RemoveAt(3));
    ASSERT_TRUE(v.RemoveAt(0));
    EXPECT_EQ(v.Count(), 2u);
    EXPECT_EQ(*v.At(0), &b);
    EXPECT_EQ(*v.At(1), &c);
    EXPECT_EQ(slots()[2], nullptr);

    ASSERT_TRUE(v.RemoveAt(1));
    EXPECT_EQ(v.Count(), 1u);
    EXPECT_EQ(*v.At(0), &b);
    EXPECT_EQ(slots()[1], nullptr);
}

TEST(Vector, AppendingANullPointerStoresItButReportsZero) {
    int a;
    pConstVector<const void*> v;
    EXPECT_EQ(v.Append(nullptr), nullptr);
    EXPECT_EQ(v.Append(&a), &a);
    EXPECT_EQ(v.Count(), 2u);
    EXPECT_EQ(*v.At(0), nullptr);
}

TEST(Vector, DestroyedVectorRefusesToGrow) {
    int a;
    pConstVector<const void*> v;
    v.Append(&a);
    v.Destroy();
    EXPECT_EQ(v.capacity, 0xFFFFFFFFu);
    EXPECT_EQ(v.data, nullptr);
    EXPECT_EQ(v.Append(&a), nullptr);
    EXPECT_FALSE(v.SetCount(1));
    EXPECT_EQ(v.Count(), 0u);
    EXPECT_EQ(v.At(0), nullptr);

    v.Clear();   // a cleared vector may grow again
    EXPECT_EQ(v.Append(&a), &a);
}

// An element whose destruction can be counted; all-zero is its empty state.
struct Counted {
    int* destroyed;
    ~Counted() {
        if (destroyed)
            ++*destroyed;
    }
};

TEST(Vector, ElementsWithDestructorsAreDestroyedOnceWhenTheyLeave) {
    int destroyed[4] = {};
    {
        Vector<Counted> v;
        ASSERT_TRUE(v.SetCount(4));
        for (uint32_t i = 0; i < 4; ++i)
            v.At(i)->destroyed = &destroyed[i];
        ASSERT_TRUE(v.RemoveAt(1));
        EXPECT_EQ(destroyed[1], 1);
        EXPECT_EQ(v.At(1)->destroyed, &destroyed[2]);
        ASSERT_TRUE(v.SetCount(2));   // cuts off the last one
        EXPECT_EQ(destroyed[3], 1);
        EXPECT_EQ(destroyed[0] + destroyed[2], 0);
    }
    for (int n : destroyed)
        EXPECT_EQ(n, 1);
}

TEST(Vector, StringElements) {
    Vector<str> v;
    str* first = v.Append("alpha");
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->p, "alpha");
    str* blank = v.Append(nullptr);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(blank->p, nullptr);   // a zeroed element: the null string
    ASSERT_NE(v.Append("beta"), nullptr);
    ASSERT_NE(v.Append(str("alpha")), nullptr);

    EXPECT_EQ(v.FindText("alpha"), 4u);   // the last of the equal texts
    EXPECT_EQ(v.FindText("beta"), 3u);
    EXPECT_EQ(v.FindText("gamma"), 0u);

    ASSERT_TRUE(v.RemoveAt(3));
    EXPECT_EQ(v.FindText("alpha"), 1u);
    // Growing moves the strings with their storage.
    for (int i = 0; i < 100; ++i)
        ASSERT_NE(v.Append("more"), nullptr);
    EXPECT_STREQ(v.At(0)->p, "alpha");
    EXPECT_STREQ(v.At(2)->p, "beta");
}

std::vector<void*> gDeleted;
std::vector<bool> gSlotWasCleared;
pVector<int*>* gWatched;

void RecordingDeleter(int** element) {
    gDeleted.push_back(*element);
    bool cleared = true;
    for (uint32_t i = 0; i < gWatched->Count(); ++i)
        cleared = cleared && *gWatched->At(i) != *element;
    gSlotWasCleared.push_back(cleared);
    delete *element;
}

TEST(OwningVector, DeleterSeesEveryElementOnceLastToFirst) {
    gDeleted.clear();
    gSlotWasCleared.clear();
    std::vector<void*> appended;
    {
        pVector<int*> v(RecordingDeleter);
        gWatched = &v;
        for (int i = 0; i < 5; ++i)
            appended.push_back(v.Append(new int(i)));
        v.Append(nullptr);   // a null slot is skipped
    }
    ASSERT_EQ(gDeleted.size(), 5u);
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(gDeleted[i], appended[4 - i]);
    for (bool cleared : gSlotWasCleared)
        EXPECT_TRUE(cleared);
}

TEST(OwningVector, DeleteAtAndDeleteValue) {
    gDeleted.clear();
    pVector<int*> v(RecordingDeleter);
    gWatched = &v;
    int* a = v.Append(new int(1));
    int* b = v.Append(new int(2));
    int* c = v.Append(new int(3));
    EXPECT_FALSE(v.DeleteAt(3));
    ASSERT_TRUE(v.DeleteAt(1));
    EXPECT_EQ(gDeleted, std::vector<void*>{b});
    EXPECT_EQ(v.Count(), 2u);
    EXPECT_EQ(*v.At(1), c);

    int other = 0;
    EXPECT_FALSE(v.DeleteValue(&other));
    ASSERT_TRUE(v.DeleteValue(a));
    EXPECT_EQ(gDeleted, (std::vector<void*>{b, a}));
    EXPECT_EQ(*v.At(0), c);
}

TEST(OwningVector, WithoutDeleterElementsAreDeleted) {
    int destroyed = 0;
    {
        pVector<Counted*> v;
        v.Append(new Counted{&destroyed});
        v.Append(new Counted{&destroyed});
        ASSERT_TRUE(v.DeleteAt(0));
        EXPECT_EQ(destroyed, 1);
    }
    EXPECT_EQ(destroyed, 2);
}

}  // namespace
