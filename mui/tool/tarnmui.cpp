// tarnmui: the language-pack tool. It makes the files of a language directory below "MUI"
// from the translators' sources, shows them again, and checks a language against the default.
#include "mui/tool/checker.h"
#include "mui/tool/texttable.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace tarn::mui;

const char kHelp[] =
    "usage: tarnmui COMMAND ARGUMENTS\n"
    "\n"
    "  table OUT.mui SOURCE...    a text table from sources, merged; a source is\n"
    "                             a text file of lines \"id<TAB>text\" (UTF-8; \\t \\n \\r \\\\\n"
    "                             are a tab, line breaks and a backslash; blank lines and\n"
    "                             lines beginning with # are comments) or a gettext\n"
    "                             catalogue (.po) whose entries carry their number in\n"
    "                             msgctxt (the msgstr, or the msgid of an untranslated or\n"
    "                             fuzzy entry); an identifier given twice is an error\n"
    "  langid OUT.cfg ID NAME     a language description \"langid.cfg\": identifier ID\n"
    "                             (0: the default language) and display name NAME (UTF-8);\n"
    "                             @FILE takes the name from the first line of FILE (where\n"
    "                             a command line cannot carry it whole)\n"
    "  rmui OUT.rmui SCRIPT.rc    a resource module for POSIX targets: the compiled\n"
    "                             resources of the script (by windres); for Windows targets\n"
    "                             the build's tarn_resource_module makes a resource-only\n"
    "                             module with the target's linker\n"
    "  dump FILE                  a text table (.mui) as a source, sorted by identifier, or\n"
    "                             a \"langid.cfg\" as \"ID<TAB>NAME\"\n"
    "  check LANGUAGE DEFAULT     a language directory against the default one: damaged\n"
    "                             files, identifiers given twice, missing or extra, and\n"
    "                             texts whose printf conversions differ\n"
    "  --help                     this text\n"
    "\n"
    "Problems are reported as FILE:LINE: MESSAGE (for tables, FILE:RECORD); the exit status\n"
    "is 1 when there were any, 2 for a wrong command line. Nothing is written on errors.\n";

int Report(const Problems& problems) {
    for (const std::string& message : problems.messages)
        fprintf(stderr, "%s\n", message.c_str());
    return problems.Empty() ? 0 : 1;
}

int Usage() {
    fputs(kHelp, stderr);
    return 2;
}

int MakeTable(const std::string& out, const std::vector<std::string>& sources) {
    Problems problems;
    std::vector<Text> texts;
    for (const std::string& source : sources)
        ReadInput(source, texts, problems);
    CheckUnique(texts, problems);
    if (problems.Empty() && !WriteFile(out, TableBytes(texts)))
        problems.Add(out, 0, "cannot be written");
    return Report(problems);
}

int MakeDescription(const std::string& out, const std::string& id, std::string name) {
    if (name.size() > 1 && name[0] == '@') {
        bool ok = false;
        const std::string file = name.substr(1);
        name = ReadFile(file, ok);
        if (!ok) {
            fprintf(stderr, "%s: cannot be read\n", file.c_str());
            return 1;
        }
        name = name.substr(0, name.find_first_of("\r\n"));
    }
    char* end = nullptr;
    const unsigned long number = strtoul(id.c_str(), &end, 10);
    if (id.empty() || *end || number > 0xFFFFFFFFul) {
        fprintf(stderr, "tarnmui: \"%s\" is not a language identifier\n", id.c_str());
        return 2;
    }
    Problems problems;
    if (!WriteFile(out, DescriptionBytes(uint32_t(number), name)))
        problems.Add(out, 0, "cannot be written");
    return Report(problems);
}

int MakeResourceModule(const std::string& out, const std::string& script) {
    for (const char* windres :
         {"x86_64-w64-mingw32-windres", "i686-w64-mingw32-windres", "windres"}) {
        const std::string command = std::string(windres) + " --version >/dev/null 2>&1";
        if (system(command.c_str()) != 0)
            continue;
        const std::string compile =
            std::string(windres) + " -c 65001 -O res -i '" + script + "' -o '" + out + "'";
        return system(compile.c_str()) == 0 ? 0 : 1;
    }
    fputs("tarnmui: no resource compiler (windres) found\n", stderr);
    return 1;
}

int Dump(const std::string& file) {
    bool ok = false;
    const std::string bytes = ReadFile(file, ok);
    Problems problems;
    if (!ok) {
        problems.Add(file, 0, "cannot be read");
        return Report(problems);
    }
    if (file.size() >= 10 && file.compare(file.size() - 10, 10, "langid.cfg") == 0) {
        uint32_t id;
        std::string name;
        if (!ReadDescription(bytes, id, name)) {
            problems.Add(file, 1, "does not begin with a language identifier and a line end");
            return Report(problems);
        }
        printf("%u\t%s\n", id, name.c_str());
        return 0;
    }
    const std::vector<Text> texts = ReadTable(file, bytes, problems);
    fputs(SourceOf(texts).c_str(), stdout);
    return Report(problems);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        fputs(kHelp, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string& command = args[0];
    if (command == "table" && args.size() >= 3)
        return MakeTable(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    if (command == "langid" && args.size() == 4)
        return MakeDescription(args[1], args[2], args[3]);
    if (command == "rmui" && args.size() == 3)
        return MakeResourceModule(args[1], args[2]);
    if (command == "dump" && args.size() == 2)
        return Dump(args[1]);
    if (command == "check" && args.size() == 3) {
        Problems problems;
        CheckLanguage(args[1], args[2], problems);
        if (problems.Empty())
            printf("%s: as the default language\n", args[1].c_str());
        return Report(problems);
    }
    return Usage();
}
