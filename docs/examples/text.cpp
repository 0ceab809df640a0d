// The text toolkit: the owning string `str`, formatting into strings and print buffers, word
// utilities and the growable vectors.
#include "tarnkernl/tarnkernl.h"

#include "check.h"

int main() {
    // `str` owns one text on the runtime's heap; any module may release it.
    str name("report", ".", "txt");            // the parts joined: "report.txt"
    name.Append(".bak");
    str line;
    sprintf(line, "%s has %d characters", name.p, name.Length());   // replaces the text
    fprintf(line, "; %.1f%% done", 99.5);                           // appends to it
    printf("%s\n", line.p);
    Expect(strcmp(line, "report.txt.bak has 14 characters; 99.5% done") == 0, "str formatting");

    // A print buffer formats on the stack and moves to the heap only when the text outgrows it.
    PrintBuffer<16> powers("%s", "powers:");
    for (int n = 0; n <= 12; n += 4)
        fprintf(powers, " %g", _pow10(n));
    printf("%s (%u characters, %s)\n", powers.data, powers.length,
           powers.OnHeap() ? "on the heap" : "inline");
    Expect(strcmp(powers.data, "powers: 1 10000 1e+08 1e+12") == 0 && powers.OnHeap(),
           "the print buffer grows");

    // Words are separated by blanks and line feeds; isin and strnistrn ignore case.
    const char* options = "  /mem  /Int3\n/log";
    Vector<str> words;
    for (const char* at = WordBeg(options); *at; at = WordBeg(WordEnd(at)))
        words.Append(str(at, static_cast<int>(WordEnd(at) - at)).p);
    printf("%d words, the last \"%s\"; /int3 %s\n", Words(options), words.At(2)->p,
           strnistrn(options, "/int3") ? "given" : "absent");
    Expect(words.Count() == 3 && words.FindText("/Int3") == 2, "Vector<str>");
    Expect(isin(options, "/LOG"), "isin");

    // A pVector owns what its pointers point to and deletes it.
    pVector<str*> owned;
    owned.Append(new str("first"));
    owned.Append(new str("second"));
    owned.DeleteAt(0);
    Expect(owned.Count() == 1 && strcmp(*owned.At(0)[0], "second") == 0, "pVector");
    return gFailures;
}
