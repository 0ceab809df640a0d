// Event hooks changed by their own handlers while a call runs.
#include "tarnkernl/modules.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// What the handlers did, one letter per call; the handler's user pointer is its letter.
std::string gTrace;
EventHook* gHook;

void Note(void* user, uintptr_t, EvParam, const void*) {
    gTrace += *static_cast<const char*>(user);
}

const char A = 'a', B = 'b', C = 'c', N = 'n';

void DeletesB(void* user, uintptr_t event, EvParam parameter, const void* sender) {
    Note(user, event, parameter, sender);
    gHook->Del(Note, const_cast<char*>(&B));
}

void AddsN(void* user, uintptr_t event, EvParam parameter, const void* sender) {
    Note(user, event, parameter, sender);
    gHook->Add(Note, const_cast<char*>(&N));
}

// Fires the hook again once, from within the first call.
void FiresAgain(void* user, uintptr_t event, EvParam parameter, const void* sender) {
    Note(user, event, parameter, sender);
    if (parameter.value == 0) {
        gTrace += '(';
        gHook->_Call(event, EvParam(1), sender);
        gTrace += ')';
    }
}

void Throws(void* user, uintptr_t event, EvParam parameter, const void* sender) {
    Note(user, event, parameter, sender);
    throw std::runtime_error("handler failed");
}

void* Letter(const char& letter) { return const_cast<char*>(&letter); }

std::string Fire(EventHook& hook) {
    gTrace.clear();
    gHook = &hook;
    hook._Call(1, EvParam(0), nullptr);
    return gTrace;
}

TEST(EventHook, HandlersChangingTheHookDuringACall) {
    struct Case {
        const char* name;
        EventHandler first;
        std::string firstCall, secondCall;
    } cases[] = {
        {"deletes the next", DeletesB, "ac", "ac"},
        {"adds one", AddsN, "abc", "abcn"},
        {"fires again", FiresAgain, "a(abc)bc", "a(abc)bc"},
        {"throws", Throws, "a", "a"},
    };
    for (const Case& c : cases) {
        EventHook hook;
        hook.Add(c.first, Letter(A));
        hook.Add(Note, Letter(B));
        hook.Add(Note, Letter(C));
        EXPECT_EQ(Fire(hook), c.firstCall) << c.name;
        EXPECT_EQ(Fire(hook), c.secondCall) << c.name;
        EXPECT_EQ(hook.Count(), 1u) << c.name << ": a dispatch copy was left behind";
    }
}

// A handler deleted by an inner call is skipped by the outer call too.
void InnerDeletesC(void* user, uintptr_t event, EvParam parameter, const void* sender) {
    Note(user, event, parameter, sender);
    if (parameter.value == 0)
        gHook->_Call(event, EvParam(1), sender);
    else
        gHook->Del(Note, Letter(C));
}

TEST(EventHook, DeletionReachesEveryRunningCall) {
    EventHook hook;
    hook.Add(InnerDeletesC, Letter(A));
    hook.Add(Note, Letter(C));
    EXPECT_EQ(Fire(hook), "aa");
}

TEST(EventHook, SamePairTwiceIsCalledTwiceAndDeletedAtOnceUntilNoneIsLeft) {
    EventHook hook;
    EXPECT_FALSE(hook.Del(Note, Letter(A))) << "nothing to delete yet";
    EventPool* pool = hook.Add(Note, Letter(A));
    ASSERT_TRUE(pool);
    hook.Add(Note, Letter(B));
    EXPECT_EQ(hook.Add(Note, Letter(A)), pool);
    EXPECT_EQ(Fire(hook), "aba");
    EXPECT_TRUE(hook.Del(Note, Letter(A)));
    EXPECT_EQ(Fire(hook), "b");
    EXPECT_FALSE(hook.Del(Note, Letter(A)));
    EXPECT_EQ(pool->Count(), 1u);
    EXPECT_TRUE(hook.Del(Note, Letter(B)));
    EXPECT_EQ(Fire(hook), "") << "an empty hook calls nothing";
}

uintptr_t gEvent;
uintptr_t gValue;
const void* gSender;
void Receives(void*, uintptr_t event, EvParam parameter, const void* sender) {
    gEvent = event;
    gValue = parameter.value;
    gSender = sender;
}

TEST(EventHook, HandlersReceiveTheEvent) {
    EventHook hook;
    hook.Add(Receives, nullptr);
    const int sender = 0;
    hook._Call(StateChangedEvent(), EvParam(&sender), &sender);
    EXPECT_EQ(gEvent, StateChangedEvent());
    EXPECT_EQ(gValue, reinterpret_cast<uintptr_t>(&sender));
    EXPECT_EQ(gSender, &sender);
    EXPECT_STREQ(reinterpret_cast<const char*>(StateChangedEvent()), "StateChangedEvent");
}

}  // namespace
