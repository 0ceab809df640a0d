// Language texts: the tables below "MUI" beside the program, the installed languages and the
// user's choice for the next start.
#include "tarnkernl/tarnkernl.h"

#include "check.h"

namespace {

// The numbers of the program's texts in its tables (languages/english.txt, german.po).
enum GuideText : unsigned int {
    kGreeting = 7001,
    kFilesOpen = 7002,
};
constexpr unsigned int kGerman = 1031;

void ListLanguage(unsigned int identifier, const WCHAR* name, void* user) {
    str shown;
    shown.Set(name);   // UTF-16 to the 8-bit code page
    printf("  %u %s\n", identifier, shown.p);
    ++*static_cast<int*>(user);
}

}  // namespace

int main() {
    // The chosen language first, then the default one (identifier 0).
    printf("%s\n", muiGetString(kGreeting));
    printf(muiGetString(kFilesOpen), 3);
    printf("\n");
    str text;
    Expect(strcmp(LoadRes(text, kGreeting, nullptr, false), muiGetString(kGreeting)) == 0,
           "LoadRes finds the language's text");

    int languages = 0;
    muiEnumLanguages(ListLanguage, &languages);
    printf("language %u from %s\n", muiGetLanguageID(), muiGetCurDir());
    Expect(languages == 2, "two languages installed");
    bool german = muiGetLanguageID() == kGerman;
    Expect(!german || strcmp(muiGetString(kGreeting), "Guten Morgen.") == 0, "the German text");

    // Stored in "common.ini"; the next start speaks German.
    muiSetLanguage(kGerman);
    str chosen;
    GetIniFileEntry(chosen, "MUI", "Language", "", TFullName("common.ini"));
    Expect(atoi(chosen) == int(kGerman), "the choice stored");
    return gFailures;
}
