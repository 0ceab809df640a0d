// Switches: who is told, in which order, and who stays registered.
#include "tarnkernl/modules.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// What each observer answers, by letter; every call is traced.
struct Observer {
    char letter;
    enum { Stay, Go, Throw } answer;
};
std::string gTrace;
SwitchStr* gSwitch;

bool Tell(void* user) {
    Observer& observer = *static_cast<Observer*>(user);
    gTrace += observer.letter;
    if (observer.answer == Observer::Throw)
        throw std::runtime_error("observer failed");
    return observer.answer == Observer::Stay;
}

std::string Change(SwitchBase& target) {
    gTrace.clear();
    target.Change();
    return gTrace;
}

TEST(Switch, ObserversAreToldNewestFirstAndLeaveByAnswer) {
    SwitchBase target;
    Observer a{'a', Observer::Stay}, b{'b', Observer::Stay}, c{'c', Observer::Stay};
    Observer refuses{'r', Observer::Go};
    EXPECT_FALSE(target.Register(Tell, &refuses));  // called once, not registered
    EXPECT_FALSE(target.Register(nullptr, &a));
    for (Observer* observer : {&a, &b, &c})
        EXPECT_TRUE(target.Register(Tell, observer));
    EXPECT_EQ(gTrace, "rabc");
    EXPECT_EQ(Change(target), "cba");

    b.answer = Observer::Go;
    c.answer = Observer::Throw;
    EXPECT_EQ(Change(target), "cba");
    EXPECT_EQ(Change(target), "a");
    EXPECT_EQ(target.observers.Count(), 1u);
}

TEST(Switch, SamePairTwiceIsUnregisteredAtOnce) {
    SwitchBase target;
    Observer a{'a', Observer::Stay}, b{'b', Observer::Stay};
    target.Register(Tell, &a);
    target.Register(Tell, &b);
    target.Register(Tell, &a);
    EXPECT_EQ(Change(target), "aba");
    EXPECT_TRUE(target.UnRegister(Tell, &a));
    EXPECT_FALSE(target.UnRegister(Tell, &a));
    EXPECT_EQ(Change(target), "b");
}

// Once, from within a notification: unregisters the older observer and itself, registers two
// new ones and changes the switch again. The lock is the notifying thread's already.
Observer gOlder{'o', Observer::Stay}, gNewer{'n', Observer::Stay};
bool gReenter;
bool Reenters(void* user) {
    gTrace += 'x';
    if (gReenter) {
        gReenter = false;
        gSwitch->UnRegister(Tell, &gOlder);
        gSwitch->Register(Tell, &gNewer);
        gSwitch->Register(Reenters, nullptr);
        gSwitch->UnRegister(Reenters, user);
        *gSwitch = "again";
    }
    return true;
}

TEST(Switch, CallbacksMayChangeTheSwitchTheyObserve) {
    SwitchStr target;
    gSwitch = &target;
    target.Register(Tell, &gOlder);
    target.Register(Reenters, &target);
    gTrace.clear();
    gReenter = true;
    target = "first";
    // x; n and x at their registrations; the inner change tells x and n; the outer walk goes on
    // at the lower index, where n now is.
    EXPECT_EQ(gTrace, "xnxxnn");
    EXPECT_STREQ(target.value.p, "again");
    EXPECT_EQ(target.observers.Count(), 2u);
}

TEST(SwitchStr, ValueChangesThenObserversAreTold) {
    SwitchStr target;
    static SwitchStr* seen;
    static std::string values;
    seen = &target;
    values.clear();
    target.Register(
        [](void*) {
            values += std::string(seen->value.p) + ";";
            return true;
        },
        nullptr);
    target = "one";
    EXPECT_STREQ(target("twenty", 3), "twe");
    target.Destroy();
    EXPECT_STREQ(target.value.p, "");
    EXPECT_EQ(values, ";one;twe;;");
}

}  // namespace
