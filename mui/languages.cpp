// The default and the chosen language, loaded when the library starts and destroyed when it
// goes (the chosen one first), and the lookups that try the chosen one, then the default one.
#include "tarnkernl/mui.h"

#include "log/startorder.h"
#include "mui/languageset.h"
#include "tarnkernl/log.h"

#include <initializer_list>
#include <new>

namespace tarn {
namespace {

// The chosen language is stored here, in the installation's working directory. The profile
// functions need the full path: Windows takes a bare name from its own directory.
TFullName ChoiceFile() { return TFullName(TFileName(GetInstallWorkingDir(), "common.ini").p); }

unsigned int ChosenLanguage() {
    str value;
    const char* text = GetIniFileEntry(value, "MUI", "Language", "non", ChoiceFile().p);
    return text && text[0] >= '0' && text[0] <= '9' ? unsigned(atoi(text)) : 0;
}

struct LanguageSets {
    MuiLanguageSet* defaultSet = nullptr;
    MuiLanguageSet* currentSet = nullptr;

    LanguageSets() {
        const TFileName root = LanguageRoot();
        defaultSet = new (std::nothrow) MuiLanguageSet(0, root.p);
        if (const unsigned int chosen = ChosenLanguage())
            currentSet = new (std::nothrow) MuiLanguageSet(chosen, root.p);
    }
    ~LanguageSets() {
        delete currentSet;
        currentSet = nullptr;
        delete defaultSet;
        defaultSet = nullptr;
    }
};

LanguageSets gLanguages TARN_START(LanguageSets);

const char gEmptyText[] = "";

// The language module of the two sets that holds the resource for `module`, else `module`.
HINSTANCE LanguageModule(HINSTANCE module, const char* name, const char* type) {
    TFullName full(TModuleName(module).p);
    if (!full.p[0])
        return module;
    const char* fileName = strrchr(full.p, '\\');
    fileName = fileName ? fileName + 1 : full.p;
    for (const MuiLanguageSet* set : {gLanguages.currentSet, gLanguages.defaultSet}) {
        if (HINSTANCE found = set ? set->FindModule(fileName, name, type) : nullptr)
            return found;
    }
    return module;
}

}  // namespace
}  // namespace tarn

using tarn::gLanguages;

void muiEnumLanguages(MuiLanguageCallback callback, void* user) {
    if (!callback)
        return;
    struct Context {
        MuiLanguageCallback callback;
        void* user;
    } context{callback, user};
    tarn::EnumLanguageDirectories(
        tarn::LanguageRoot().p,
        [](const char*, unsigned int id, const WCHAR* name, void* data) {
            auto* c = static_cast<Context*>(data);
            c->callback(id, name, c->user);
            return true;
        },
        &context);
}

void muiSetLanguage(unsigned int identifier) {
    PrintBuffer<100> value("%d", identifier);
    vsetinifile("MUI", "Language", value.data, nullptr, tarn::ChoiceFile().p);
}

unsigned int muiGetLanguageID() {
    const tarn::MuiLanguageSet* set =
        gLanguages.currentSet ? gLanguages.currentSet : gLanguages.defaultSet;
    return set ? set->identifier : 0;
}

const char* muiGetCurDir() {
    const tarn::MuiLanguageSet* set =
        gLanguages.currentSet ? gLanguages.currentSet : gLanguages.defaultSet;
    return set ? set->directory.p : nullptr;
}

const char* muiGetDefDir() {
    return gLanguages.defaultSet ? gLanguages.defaultSet->directory.p : nullptr;
}

const char* muiGetString(unsigned int identifier) {
    for (const tarn::MuiLanguageSet* set : {gLanguages.currentSet, gLanguages.defaultSet}) {
        if (const char* text = set ? set->Find(identifier) : nullptr)
            return text;
    }
    return tarn::gEmptyText;
}

HINSTANCE muiGetDlgTemplateModule(HINSTANCE module, const char* name) {
    return tarn::LanguageModule(module, name, RT_DIALOG);
}

HINSTANCE muiGetMenuModule(HINSTANCE module, const char* name) {
    return tarn::LanguageModule(module, name, RT_MENU);
}
