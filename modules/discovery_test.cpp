// Instance discovery over the test plug-ins, real modules built into one directory.
#include "tarnkernl/modules.h"

#include "modules/directorysearch.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> gEvents;

}  // namespace

// The plug-ins tell this program when they are loaded and unloaded.
extern "C" TARN_EXPORT void tarnTestPluginEvent(const char* text) { gEvents.push_back(text); }

namespace {

const char kDirectory[] = TARN_PLUGIN_DIR;

std::string PluginPath(const char* name) {
    return std::string(kDirectory) + "\\" + name + TARN_PLUGIN_SUFFIX;
}

// A plug-in loaded by the test itself, released at the end of the scope.
class Loaded {
public:
    explicit Loaded(const char* name) : module_(LoadLibraryA(PluginPath(name).c_str())) {}
    ~Loaded() {
        if (module_)
            FreeLibrary(module_);
    }
    HINSTANCE Module() const { return module_; }

private:
    HINSTANCE module_;
};

int gConverted;
const void* Null(void*) {
    ++gConverted;
    return nullptr;
}

TEST(FindInstances, NumberedEntriesWithGapsUpToTheCount) {
    Loaded numbered("numbered");
    ASSERT_TRUE(numbered.Module());
    TInstanceLibrary library;
    EXPECT_EQ(_FindInstances(library, numbered.Module(), "tarnTestKind", 3), 2);
    ASSERT_EQ(library.Count(), 2u);
    EXPECT_STREQ(static_cast<const TInstanceDescriptor*>(*library.At(1))->name, "second");
    int argument = 7;
    EXPECT_EQ(library.ConstructByName("second", &argument), &argument);
    EXPECT_EQ(_FindInstances(library, numbered.Module(), "tarnTestKind", 2), 1);

    gConverted = 0;
    for (long count : {0L, -1L})
        EXPECT_EQ(_FindInstances(library, numbered.Module(), "tarnTestKind", count, Null), 0);
    EXPECT_EQ(gConverted, 0);

    pConstVector<void const*> nulls;
    EXPECT_EQ(_FindInstances(nulls, numbered.Module(), "tarnTestKind", 3, Null), 0);
    EXPECT_EQ(gConverted, 2);
    ASSERT_EQ(nulls.Count(), 2u);
    EXPECT_EQ(*nulls.At(0), nullptr);
}

// The events between "<plugin> loaded" and the next load, for every load of the plug-in.
std::vector<std::string> AfterLoads(const std::string& plugin) {
    std::vector<std::string> next;
    for (size_t i = 0; i < gEvents.size(); ++i) {
        if (gEvents[i] == plugin + " loaded")
            next.push_back(i + 1 < gEvents.size() ? gEvents[i + 1] : "");
    }
    return next;
}

TEST(FindInstances, DirectoryKeepsOnlyModulesThatYield) {
    gEvents.clear();
    const uint32_t keptBefore = tarn::KeptModuleCountForTesting();
    TInstanceLibrary library;
    Vector<str> seen;
    EXPECT_EQ(_FindInstances(library, kDirectory, "*" TARN_PLUGIN_SUFFIX, "tarnTestKind", 3,
                             nullptr, &seen),
              2);
    EXPECT_EQ(tarn::KeptModuleCountForTesting(), keptBefore + 1);
    // Released before the next file was looked at.
    EXPECT_EQ(AfterLoads("empty"), std::vector<std::string>{"empty unloaded"});
    EXPECT_EQ(AfterLoads("text"), std::vector<std::string>{"text unloaded"});
    EXPECT_EQ(AfterLoads("numbered").size(), 1u);
    EXPECT_EQ(std::count(gEvents.begin(), gEvents.end(), "numbered unloaded"), 0);

    ASSERT_EQ(seen.Count(), 3u);
    for (const char* name : {"empty", "numbered", "text"})
        EXPECT_TRUE(seen.FindText((std::string(name) + TARN_PLUGIN_SUFFIX).c_str())) << name;

    gEvents.clear();
    EXPECT_EQ(_FindInstances(library, kDirectory, "*" TARN_PLUGIN_SUFFIX, "tarnTestKind", 3,
                             nullptr, &seen),
              0);
    EXPECT_TRUE(gEvents.empty());
    EXPECT_EQ(seen.Count(), 3u);
    EXPECT_EQ(tarn::KeptModuleCountForTesting(), keptBefore + 1);

    EXPECT_EQ(_FindInstances(library, kDirectory, nullptr, "tarnTestKind", 3), 0);
    EXPECT_EQ(_FindInstances(library, "no such directory", "*", "tarnTestKind", 3), 0);
    EXPECT_EQ(library.Count(), 2u);
}

struct Seen {
    HINSTANCE module;
    unsigned long size;
    void* user;
};
std::vector<Seen> gSeen;
const void* Record(HINSTANCE module, const void* data, unsigned long size, void* user) {
    gSeen.push_back({module, size, user});
    return data;
}

TEST(FindResources, TheTextFunctionHidesTheNumberedResources) {
    Loaded text("text");
    ASSERT_TRUE(text.Module());
    pConstVector<void const*> found;
    int user;
    gSeen.clear();
    EXPECT_EQ(_FindResources(found, text.Module(), "tarnTestText", 3, Record, &user), 1);
    ASSERT_EQ(found.Count(), 1u);
    const char* expected = "text of the plug-in";
    EXPECT_STREQ(static_cast<const char*>(*found.At(0)), expected);
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].module, text.Module());
    EXPECT_EQ(gSeen[0].size, strlen(expected) + 1);
    EXPECT_EQ(gSeen[0].user, &user);

    gSeen.clear();
    EXPECT_EQ(_FindResources(found, text.Module(), "tarnRaw", 3, Record, &user), 2);
    ASSERT_EQ(found.Count(), 3u);
    const auto* first = static_cast<const unsigned char*>(*found.At(1));
    EXPECT_EQ(std::vector<unsigned char>(first, first + 4),
              (std::vector<unsigned char>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_STREQ(static_cast<const char*>(*found.At(2)), "raw two");
    ASSERT_EQ(gSeen.size(), 2u);
    EXPECT_EQ(gSeen[0].size, 4u);
    EXPECT_EQ(gSeen[1].size, 8u);
    EXPECT_EQ(_FindResources(found, text.Module(), "tarnRaw", 0), 0);
}

TEST(FindResources, DirectoryKeepsTheModulesThatYield) {
    const uint32_t keptBefore = tarn::KeptModuleCountForTesting();
    pConstVector<void const*> found;
    EXPECT_EQ(_FindResources(found, kDirectory, "*" TARN_PLUGIN_SUFFIX, "tarnTestText", 1), 1);
    EXPECT_EQ(tarn::KeptModuleCountForTesting(), keptBefore + 1);
    EXPECT_EQ(_FindResources(found, kDirectory, "*" TARN_PLUGIN_SUFFIX, "tarnNothing", 4), 0);
    EXPECT_EQ(tarn::KeptModuleCountForTesting(), keptBefore + 1);
}

TEST(Modules, ReleasedPluginLeavesTheProcess) {
    HINSTANCE module = LoadLibraryA(PluginPath("empty").c_str());
    ASSERT_TRUE(module);
    FARPROC anchor = GetProcAddress(module, "tarnTestAnchor");
    ASSERT_TRUE(anchor);
    EXPECT_TRUE(FreeLibrary(module));
    HINSTANCE owner = nullptr;
    EXPECT_FALSE(GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<const char*>(anchor), &owner));
    EXPECT_EQ(owner, nullptr);
}

}  // namespace
