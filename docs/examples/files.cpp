// Files and paths: names joined with backslashes, the file handle, the file in memory, zones
// stored inside a file, long paths and the safe rewrite.
#include "tarnkernl/tarnkernl.h"

#include "check.h"

int main() {
    // Paths use the backslash on every target; a part starting with a dot replaces the extension.
    // Full names: a relative name is no name in its extended-length form (see below).
    TFullName work("work");
    TFileName data(work, "notes.txt");          // ...\work\notes.txt
    TFileName backup(data, ".bak");             // ...\work\notes.bak
    str path(data.p);
    char *dir, *name, *ext;
    StrictPath(path, dir, name, ext);
    printf("%s: directory \"%s\", name \"%s\", extension \"%s\"\n", backup.p, dir, name, ext);
    Expect(strcmp(backup.At(work.Length()), "\\notes.bak") == 0, "the extension replaced");

    // creat makes the missing directories; fputs writes line ends as CR LF.
    TFileHandle out;
    Expect(out.creat(data), "a new file");
    fputs("first line\nsecond line\n", out);
    out.close();

    // A File reads a whole file into memory and works on the image from then on.
    File in;
    Expect(in.capture(data) && in.length == 25, "the file read whole");
    str line;
    in.gets(line);
    Expect(strcmp(line, "first line\r\n") == 0, "a line of the image");

    // A zone is a named, tagged record inside a parent file; here the parent lives in memory.
    File parent;
    Zone zone;
    zone.create(&parent, "settings");
    Save("dark", &zone);
    zone.close(7);
    parent.seekset(0);
    Zone found;
    str theme;
    Expect(found.open(&parent, "settings") && found.tag == 7 && Load(theme, &found) &&
               strcmp(theme, "dark") == 0, "the zone read back");

    // A rewrite that fails: without Commit the destructor puts the backup back.
    {
        RestoreFileIfError guard(data, ".bak");   // notes.txt moved to notes.bak
        TFileHandle again;
        again.creat(data);
        fputs("half writ", again);
    }
    File restored;
    Expect(restored.capture(data) && restored.length == 25 && !existfile(backup),
           "the file restored");

    // Names beyond the system's 260 characters go through their extended-length form "\\?\".
    str part;
    part = 120u;
    memset(part.p, 'd', 120);
    TFileName deep(work, part, part, "deep.txt");
    TFileHandle deepFile;
    Expect(deepFile.creat(deep) && deepFile.write("x", 1) == 1 && deepFile.close(),
           "a long path written");
    Expect(UNI_GetFileAttributes(deep) != 0xFFFFFFFF && UNI_DeleteFile(deep), "and deleted");
    printf("a path of %d characters, as the system gets it: %.12s...\n", deep.Length(),
           UNCFileName(deep).p);
    return gFailures;
}
