// Modules and events: the instances plug-ins export, the instance library, event hooks,
// switches with observers, and file links.
#include "tarnkernl/tarnkernl.h"

#include "check.h"
#include "shape.h"

namespace {

void CountEvent(void* user, uintptr_t event, EvParam parameter, const void*) {
    if (event == StateChangedEvent())
        *static_cast<uintptr_t*>(user) += parameter.value;
}

bool WatchTheme(void* user) {
    ++*static_cast<int*>(user);
    return true;   // stay registered
}

}  // namespace

int main() {
    // Every "*.plg" beside the program that exports "guideShape0" to "guideShape7".
    TInstanceLibrary library;
    int found = _FindInstances(library, TModuleDir(nullptr), "*.plg", "guideShape", 8);
    auto* shape = static_cast<Shape*>(library.ConstructByName("triangle", nullptr));
    printf("%d kinds of shape; a %s has %d corners\n", found, shape ? shape->kind : "?",
           shape ? shape->corners : 0);
    Expect(found == 2 && shape && shape->corners == 3, "the plug-in's instances");
    Expect(library.Destruct(nullptr, shape) == 1, "the shape destroyed by its maker");

    // An event hook calls every handler registered with it.
    EventHook changed;
    uintptr_t total = 0;
    changed.Add(CountEvent, &total);
    changed._Call(StateChangedEvent(), EvParam(40), nullptr);
    changed._Call(StateChangedEvent(), EvParam(2), nullptr);
    Expect(total == 42, "the event handler called twice");

    // A switch tells its observers at registration and at every change.
    SwitchStr theme;
    int notices = 0;
    theme.Register(WatchTheme, &notices);
    theme = "dark";
    Expect(notices == 2 && strcmp(theme.value, "dark") == 0, "the switch's observer");
    theme.UnRegister(WatchTheme, &notices);

    // A file link tells every module which object has a file open.
    int document = 0;
    FileLink link(TFullName("report.txt"), &document, nullptr);
    Expect(FileLink::_Owner("report.txt", nullptr, nullptr) == &document, "the file's owner");
    Expect(FileLink::Is(&link) && !FileLink::Is(&document), "a live link");
    return gFailures;
}
