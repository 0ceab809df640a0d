// Out of memory: one operation of every family of the library, run again and again with its
// first, second, third ... request for memory failing, until it runs without a failure. Each
// run must end in success or in the family's failure result (false, null, 0 or the empty text),
// must not fault or throw, and must give back every block it obtained.
#include "files/testdir.h"
#include "mui/languageset.h"
#include "platform/win32.h"
#include "runtime/testing_iface.h"
#include "tarnkernl/files.h"
#include "tarnkernl/log.h"
#include "tarnkernl/modules.h"
#include "tarnkernl/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>

namespace {

using tarn::test::FailingIfaceForTesting;

enum class Outcome { Succeeded, Refused, Wrong };

// Refused: the operation failed and gave its failure result; Wrong: anything else.
Outcome Judge(bool succeeded, bool refused) {
    return succeeded ? Outcome::Succeeded : refused ? Outcome::Refused : Outcome::Wrong;
}

bool Is(const char* text, const char* expected) { return text && strcmp(text, expected) == 0; }

// Every operation sees the interface that fails, for checks of its own that must not take part.
typedef std::function<Outcome(FailingIfaceForTesting&)> Operation;

// More requests than any of the operations below makes.
constexpr long kMostRequests = 2000;

std::ostream& operator<<(std::ostream& out, Outcome outcome) {
    return out << (outcome == Outcome::Succeeded ? "succeeded"
                   : outcome == Outcome::Refused ? "failed as documented"
                                                 : "gave a wrong result");
}

// Runs `operation` once without a failure (which makes whatever the library builds on first
// use), then with each request failing in turn, and then with every request from each one on
// failing, until a run makes no failing request.
void Sweep(const Operation& operation) {
    {
        FailingIfaceForTesting never(0);
        ASSERT_EQ(operation(never), Outcome::Succeeded) << "without a failure";
    }
    for (bool thereafter : {false, true}) {
        const char* which = thereafter ? "requests from " : "request ";
        for (long n = 1;; ++n) {
            if (n > kMostRequests) {
                ADD_FAILURE() << "still asking for memory after " << kMostRequests << " requests";
                return;
            }
            Outcome outcome = Outcome::Wrong;
            const char* escaped = nullptr;
            FailingIfaceForTesting iface(n, thereafter);
            try {
                outcome = operation(iface);
            } catch (unsigned long) {
                escaped = "a fault";
            } catch (...) {
                escaped = "an exception";
            }
            iface.Uninstall();
            EXPECT_EQ(escaped, nullptr)
                << "with " << which << n << " failing, " << escaped << " left the operation";
            EXPECT_EQ(iface.Live(), 0) << "blocks left behind with " << which << n << " failing";
            if (!iface.Failed()) {
                EXPECT_EQ(outcome, Outcome::Succeeded)
                    << "with no request failing (" << n - 1 << " made), it " << outcome;
                break;
            }
            EXPECT_NE(outcome, Outcome::Wrong) << "with " << which << n << " failing";
            // The first run that goes wrong is the one to look at.
            if (escaped || iface.Live() != 0 || outcome == Outcome::Wrong)
                return;
        }
    }
}

constexpr char kLong[] = "a text that is far too long for the sixteen characters";

const std::string gLongLine(1100, 'x');

bool SetIni(const char* file, const char* key, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const bool written = vsetinifile("S", key, format, args, file);
    va_end(args);
    return written;
}

void CountEvent(void* calls, uintptr_t, EvParam, const void*) { ++*static_cast<int*>(calls); }

bool CountChange(void* calls) {
    ++*static_cast<int*>(calls);
    return true;
}

int gOwner, gExtra;

// The UTF-16 bytes of an ASCII text, behind a byte-order mark.
std::string Utf16(const std::string& text) {
    std::string bytes = "\xFF\xFE";
    for (char c : text)
        bytes += std::string{c, '\0'};
    return bytes;
}

std::string Record(uint32_t id, const std::string& text) {
    return std::string(reinterpret_cast<const char*>(&id), 4) + text + '\0';
}

class OutOfMemory : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TARN_ROUTE_MALLOC)
            GTEST_SKIP() << "the runtime is the process's allocator only with TARN_ROUTE_MALLOC";
    }

    void Write(const std::string& name, const std::string& bytes) const {
        std::string native = dir_.Path(name);
        std::replace(native.begin(), native.end(), '\\', '/');
        std::ofstream(native, std::ios::binary) << bytes;
    }

    tarn::TestDir dir_;
};

TEST_F(OutOfMemory, EveryFamilyFailsAsDocumentedAndLeavesNoBlock) {
    const std::string ini = dir_.Path("settings.ini");
    Write("settings.ini", "[S]\r\nkey=hello\r\n");

    dir_.MakeDirectory("MUI/seven");
    const std::string language = dir_.Path("MUI\\seven");
    Write("MUI\\seven\\langid.cfg", Utf16("7\r\nSeven\r\n"));
    Write("MUI\\seven\\texts.mui", Record(20, "twenty") + Record(10, "ten"));
    dir_.CopyIn(TARN_LANGUAGE_MODULE, "MUI/seven/Plugin.rmui");
    const std::string languages = dir_.Path("MUI");

    HINSTANCE plugin = LoadLibraryA(TARN_PLUGIN_DIR "\\numbered.plg");
    ASSERT_NE(plugin, nullptr);

    str linkName;
    ASSERT_NE(UNI_GetFullPathName("oom\\linked.bin", linkName), 0u);

    const struct {
        const char* family;
        Operation operation;
    } families[] = {
        {"str, appending formatted text",
         [](FailingIfaceForTesting&) {
             str s("alpha");
             if (!s.p)
                 return Outcome::Refused;
             const int n = fprintf(s, "-%d", 42);
             return Judge(n == 3 && Is(s.p, "alpha-42"), n == 0 && (!s.p || Is(s.p, "alpha")));
         }},
        {"str, replacing with formatted text",
         [](FailingIfaceForTesting&) {
             str s("old");
             if (!s.p)
                 return Outcome::Refused;
             const int n = sprintf(s, "%s=%d", "key", 7);
             return Judge(n == 5 && Is(s.p, "key=7"), n == 0 && !s.p);
         }},
        {"print buffer",
         [](FailingIfaceForTesting&) {
             PrintBuffer<16> buffer("%s", "inline");
             const int n = fprintf(buffer, "%s", kLong);
             const bool kept = strncmp(buffer.data, "inline", 6) == 0;
             return Judge(n == int(strlen(kLong)) && kept && Is(buffer.data + 6, kLong),
                          n == 0 && !buffer.OnHeap() && Is(buffer.data, "inline"));
         }},
        {"vectors",
         [](FailingIfaceForTesting&) {
             Vector<str> names;
             for (const char* name : {"alpha", "beta", "gamma"}) {
                 const uint32_t before = names.Count();
                 str* added = names.Append(name);
                 // A copy that failed is the null string, as every str is after one.
                 if (!added || !added->p)
                     return Judge(false,
                                  added ? names.Count() == before + 1 : names.Count() == before);
             }
             return Judge(names.Count() == 3 && names.FindText("beta") == 2, false);
         }},
        {"INI reading",
         [&](FailingIfaceForTesting&) {
             str value;
             const char* text = GetIniFileEntry(value, "S", "key", "default", ini.c_str());
             return Judge(Is(text, "hello") && text == value.p, !text);
         }},
        {"INI reading, a key that is not there",
         [&](FailingIfaceForTesting&) {
             str value;
             const char* text = GetIniFileEntry(value, "S", "absent", "", ini.c_str());
             return Judge(Is(text, "") && text == value.p, !text);
         }},
        {"INI writing",
         [&](FailingIfaceForTesting& iface) {
             {
                 FailingIfaceForTesting::Spare spare(iface);
                 Write("settings.ini", "[S]\r\nkey=before\r\n");
             }
             const bool written = SetIni(ini.c_str(), "key", "%d-%s", 42, "x");
             FailingIfaceForTesting::Spare spare(iface);
             str value;
             const char* text = GetIniFileEntry(value, "S", "key", "", ini.c_str());
             return Judge(written && Is(text, "42-x"), !written && Is(text, "before"));
         }},
        {"File in memory mode",
         [](FailingIfaceForTesting&) {
             File file;
             const char lines[] = "first\r\nsecond";
             const unsigned size = sizeof lines - 1;
             const unsigned wrote = file.write(lines, size);
             if (wrote != size)
                 return Judge(false, wrote == 0 && file.length == 0);
             const int printed = fprintf(file, "%s", gLongLine.c_str());
             if (printed != int(gLongLine.size()))
                 return Judge(false, printed == 0 && file.length == size);
             file.seekset(0);
             str line;
             const char* first = file.gets(line);
             if (!first)
                 return Judge(false, file.tell() == 0);
             return Judge(Is(first, "first\r\n") && file.tell() == 7, false);
         }},
        {"zones",
         [](FailingIfaceForTesting&) {
             File parent;
             Zone written;
             written.create(&parent, "cfg");
             if (written.write("abc", 3) != 3 || !written.close(7))
                 return Outcome::Refused;
             parent.seekset(0);
             Zone read;
             if (!read.open(&parent, "cfg"))
                 return Judge(false, parent.tell() == 0);
             return Judge(read.length == 3 && memcmp(read.image, "abc", 3) == 0 && read.tag == 7,
                          false);
         }},
        {"event hooks",
         [](FailingIfaceForTesting&) {
             int calls = 0;
             EventHook hook;
             EventPool* registrations = hook.Add(CountEvent, &calls);
             hook._Call(StateChangedEvent(), EvParam(1), nullptr);
             return Judge(registrations && calls == 1, calls == 0);
         }},
        {"switches",
         [](FailingIfaceForTesting&) {
             int calls = 0;
             SwitchStr flag;
             const bool registered = flag.Register(CountChange, &calls);
             flag = "on";
             if (!registered)
                 return Judge(false, calls == 1);
             return Judge(calls == 2 && Is(flag.value.p, "on"), calls == 2 && !flag.value.p);
         }},
        {"full path names",
         [&](FailingIfaceForTesting&) {
             str full("stale");
             const unsigned long length = UNI_GetFullPathName("oom\\linked.bin", full);
             return Judge(length == strlen(linkName.p) && Is(full.p, linkName.p),
                          length == 0 && Is(full.p, ""));
         }},
        {"file links",
         [&](FailingIfaceForTesting&) {
             FileLink link(linkName.p, &gOwner, &gExtra);
             const void* extra = &gOwner;
             void* owner = FileLink::_Owner("oom\\linked.bin", nullptr, &extra);
             return Judge(owner == &gOwner && extra == &gExtra && FileLink::Is(&link),
                          !owner && !extra);
         }},
        {"_FindInstances",
         [&](FailingIfaceForTesting&) {
             TInstanceLibrary library;
             const int found = _FindInstances(library, plugin, "tarnTestKind", 1);
             int argument = 0;
             return Judge(found == 1 && library.ConstructByName("first", &argument) == &argument,
                          found == 0 && library.Count() == 0);
         }},
        {"language sets",
         [&](FailingIfaceForTesting&) {
             tarn::MuiLanguageSet set(7, languages.c_str());
             const char* ten = set.Find(10);
             const char* twenty = set.Find(20);
             HINSTANCE module = set.FindModule("plugin.dll", MAKEINTRESOURCEA(100), RT_DIALOG);
             const bool loaded = Is(set.directory.p, language.c_str());
             // What could not be had is missing, as in a language that lacks it.
             return Judge(loaded && Is(ten, "ten") && Is(twenty, "twenty") && module &&
                              set.displayName.Count() == 6,
                          (loaded || Is(set.directory.p, "")) && (!ten || Is(ten, "ten")) &&
                              (!twenty || Is(twenty, "twenty")));
         }},
    };
    for (const auto& family : families) {
        SCOPED_TRACE(family.family);
        Sweep(family.operation);
    }
    FreeLibrary(plugin);
}

}  // namespace
