// The instance library asks its factories in order.
#include "tarnkernl/modules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string gAsked;
int gObject;

void* Declines(void*) {
    gAsked += 'd';
    return nullptr;
}
void* Accepts(void* argument) {
    gAsked += 'a';
    return argument;
}
bool Refuses(void*) {
    gAsked += 'r';
    return false;
}
bool Destroys(void* object) {
    gAsked += 'x';
    return object == &gObject;
}

const TInstanceDescriptor kDeclining = {"kind", Declines, Refuses};
const TInstanceDescriptor kAccepting = {"kind", Accepts, Destroys};
const TInstanceDescriptor kOther = {"other", Accepts, Destroys};

TEST(TInstanceLibrary, FactoriesAreAskedInOrder) {
    TInstanceLibrary library;
    for (const TInstanceDescriptor* descriptor : {&kDeclining, &kAccepting, &kOther})
        library.Append(descriptor);

    gAsked.clear();
    EXPECT_EQ(library.ConstructByName("kind", &gObject), nullptr);  // only the first "kind"
    EXPECT_EQ(library.ConstructByName("other", &gObject), &gObject);
    EXPECT_EQ(library.ConstructByName("none", &gObject), nullptr);
    EXPECT_EQ(gAsked, "da");

    gAsked.clear();
    EXPECT_EQ(library.ConstructByTemplate(&gObject), &gObject);
    EXPECT_EQ(gAsked, "da");

    gAsked.clear();
    EXPECT_EQ(library.Destruct("kind", &gObject), 1);  // the first "kind" refuses
    EXPECT_EQ(library.Destruct("other", &gAsked), 0);
    EXPECT_EQ(library.Destruct(nullptr, &gObject), 1);
    EXPECT_EQ(gAsked, "rxxrx");
}

TEST(TInstanceLibrary, EmptyAndNullLibrariesAnswerNothing) {
    TInstanceLibrary empty;
    TInstanceLibrary* none = nullptr;
    for (TInstanceLibrary* library : {&empty, none}) {
        EXPECT_EQ(library->ConstructByName("kind", &gObject), nullptr);
        EXPECT_EQ(library->ConstructByTemplate(&gObject), nullptr);
        EXPECT_EQ(library->Destruct(nullptr, &gObject), 0);
    }
}

}  // namespace
