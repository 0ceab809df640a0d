// File links: which owner has a file, and which pointers are live links.
#include "tarnkernl/files.h"
#include "tarnkernl/modules.h"

#include "platform/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

int gOwners[4];

std::string FullPath(const char* name) {
    str full;
    UNI_GetFullPathName(name, full);
    return full.p;
}

TEST(FileLink, OwnerOfAFileByItsFullNameInAnyCase) {
    const std::string full = FullPath("links\\Data.Bin");
    const void* extra = &gOwners;
    FileLink plain(full.c_str(), &gOwners[0], &gOwners[1]);
    EXPECT_EQ(FileLink::_Owner("LINKS\\data.bin", nullptr, &extra), &gOwners[0]);
    EXPECT_EQ(extra, &gOwners[1]);

    EXPECT_EQ(FileLink::_Owner("links\\other.bin", nullptr, &extra), nullptr);
    EXPECT_EQ(extra, nullptr);
    EXPECT_EQ(FileLink::_Owner("links\\data.bi", nullptr, nullptr), nullptr);
    EXPECT_EQ(FileLink::_Owner(
                  "links\\data.bin", [](const void*) { return false; }, &extra),
              nullptr);
    EXPECT_EQ(extra, nullptr);

    const std::string other = FullPath("links\\blanks.bin");
    FileLink blanks((other + "   ").c_str(), &gOwners[2], nullptr);
    FileLink longer((other + ".bak").c_str(), &gOwners[3], nullptr);
    EXPECT_EQ(FileLink::_Owner("links\\blanks.bin", nullptr, nullptr), &gOwners[2]);
    EXPECT_EQ(FileLink::_Owner("links\\blanks.bin   ", nullptr, nullptr), &gOwners[2]);
}

TEST(FileLink, HighestAddressWins) {
    const std::string full = FullPath("same.file");
    alignas(FileLink) unsigned char storage[2][sizeof(FileLink)];
    FileLink* higher = new (storage[1]) FileLink(full.c_str(), &gOwners[1], nullptr);
    FileLink* lower = new (storage[0]) FileLink(full.c_str(), &gOwners[0], nullptr);
    EXPECT_EQ(FileLink::_Owner("same.file", nullptr, nullptr), &gOwners[1]);
    auto first = [](const void* owner) { return owner == &gOwners[0]; };
    EXPECT_EQ(FileLink::_Owner("same.file", first, nullptr), &gOwners[0]);
    lower->~FileLink();
    higher->~FileLink();
}

TEST(FileLink, OnlyLiveLinksAreLinksAndNothingIsRead) {
    FileLink live("C:\\live", nullptr, nullptr);
    EXPECT_EQ(FileLink::pIs(&live), &live);
    EXPECT_TRUE(FileLink::Is(&live));
    EXPECT_EQ(FileLink::pIs(reinterpret_cast<char*>(&live) + 1), nullptr);
    EXPECT_EQ(FileLink::pIs(nullptr), nullptr);

    alignas(FileLink) unsigned char storage[sizeof(FileLink)];
    FileLink* gone = new (storage) FileLink("C:\\gone", nullptr, nullptr);
    gone->~FileLink();  // the bytes still look like a link
    EXPECT_EQ(FileLink::pIs(gone), nullptr);

    tarn::GuardedPagesForTesting pages;
    ASSERT_NE(pages.Begin(), nullptr);
    EXPECT_EQ(FileLink::pIs(pages.Guard()), nullptr);
}

TEST(NodeReestr, SortedOnceEachAndFreedSafely) {
    ExistingNodePoolBase::NodeReestr reestr;
    ExistingNodePoolBase nodes[3];
    for (int i : {2, 0, 1, 0})  // the second 0 is reported through int3call and ignored
        nodes[i].Insert(reestr);
    ASSERT_EQ(reestr.addresses.Count(), 3u);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(*reestr.addresses.At(i), reinterpret_cast<uintptr_t>(&nodes[i]));
    nodes[1].Free(reestr);
    nodes[1].Free(reestr);
    EXPECT_EQ(ExistingNodePoolBase::pIs(&nodes[1], reestr, &nodes[1]), nullptr);
    EXPECT_EQ(ExistingNodePoolBase::pIs(&nodes[2], reestr, &nodes[2]), &nodes[2]);
    EXPECT_EQ(ExistingNodePoolBase::pIs(&nodes[2], reestr, nullptr), nullptr);
    nodes[0] = nodes[2];  // copies no registration
    EXPECT_EQ(reestr.addresses.Count(), 2u);
}

// Eight threads make, ask about and destroy links: each finds its own links while they live
// and never after, and the registry ends as it began.
TEST(FileLink, EightThreadsKeepTheRegistryWhole) {
    const uint32_t before = FileLink::GetNodeReestr().addresses.Count();
    std::atomic<int> failures{0};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const std::string name = FullPath(("thread" + std::to_string(t)).c_str());
            // The thread's own storage: no other thread's link can take a freed place.
            alignas(FileLink) unsigned char storage[16][sizeof(FileLink)];
            while (std::chrono::steady_clock::now() < end) {
                FileLink* links[16];
                for (int i = 0; i < 16; ++i)
                    links[i] = new (storage[i]) FileLink(name.c_str(), &failures, nullptr);
                for (FileLink* link : links)
                    failures += FileLink::pIs(link) != link;
                failures += FileLink::_Owner(name.c_str(), nullptr, nullptr) != &failures;
                for (FileLink* link : links) {
                    link->~FileLink();
                    failures += FileLink::pIs(link) != nullptr;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(FileLink::GetNodeReestr().addresses.Count(), before);
}

}  // namespace
