// Language texts by number: muiGetString against glibc's gettext, hits and misses over 5,000
// texts with random 32-bit identifiers. gettext looks the same texts up in ".mo" catalogues
// built here, one with the hash table msgfmt writes and one without (binary search), whose
// msgids are the identifiers in decimal.
//
// The language sets are loaded when the library starts, from "MUI" beside the executable: run
// without the child argument, the program writes a temporary directory with a copy of itself
// (its run path still finds the library) and "MUI/default", runs the copy there as its working
// directory and removes the directory afterwards.
//
// Usage: tools/bench.sh [Google Benchmark options], or build/bench-linux/bin/mui_bench [options]
#include "tarnkernl/mui.h"

#include "bench/collector.h"

#include <benchmark/benchmark.h>
#include <libintl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using tarn::bench::Collector;

constexpr int kTexts = 5000;
constexpr const char* kChildArgument = "--mui-bench-child";
constexpr const char* kHashedDomain = "tarnbench";
constexpr const char* kSortedDomain = "tarnbench_sorted";

struct Text {
    uint32_t id;
    std::string msgid;  // the identifier in decimal
    std::string text;
};

// The texts, the hits in a shuffled order and identifiers that no text has, the same in the
// writing and the measuring process.
struct Workload {
    std::vector<Text> texts;
    std::vector<uint32_t> hitIds, missIds;
    std::vector<std::string> hitMsgids, missMsgids;

    Workload() {
        std::mt19937 random(20261206);
        std::set<uint32_t> used;
        while (texts.size() < kTexts) {
            const uint32_t id = random();
            if (!used.insert(id).second)
                continue;
            std::string text = "Text " + std::to_string(id) + " of the default language";
            text.append(random() % 40, '.');
            texts.push_back({id, std::to_string(id), text});
        }
        std::vector<size_t> order(texts.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::shuffle(order.begin(), order.end(), random);
        for (size_t i : order) {
            hitIds.push_back(texts[i].id);
            hitMsgids.push_back(texts[i].msgid);
        }
        while (missIds.size() < kTexts) {
            const uint32_t id = random();
            if (used.insert(id).second) {
                missIds.push_back(id);
                missMsgids.push_back(std::to_string(id));
            }
        }
    }
};

const Workload& TheWorkload() {
    static const Workload workload;
    return workload;
}

void Append32(std::string& out, uint32_t value) {
    out.append(reinterpret_cast<const char*>(&value), 4);
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// The string hash of the ".mo" format, as the reader computes it.
uint32_t MoHash(const std::string& s) {
    unsigned long value = 0;
    for (unsigned char c : s) {
        value = (value << 4) + c;
        const unsigned long high = value & (0xFUL << 28);
        if (high) {
            value ^= high >> 24;
            value ^= high;
        }
    }
    return uint32_t(value);
}

uint32_t NextPrime(uint32_t n) {
    auto prime = [](uint32_t v) {
        for (uint32_t d = 2; d * d <= v; ++d)
            if (v % d == 0)
                return false;
        return v >= 2;
    };
    while (!prime(n))
        ++n;
    return n;
}

// A ".mo" catalogue: header, the tables of the originals and the translations (length and
// offset, sorted by msgid bytes), the hash table when `hashed`, then the strings.
std::string MakeCatalogue(const std::vector<Text>& texts, bool hashed) {
    std::vector<const Text*> sorted;
    for (const Text& text : texts)
        sorted.push_back(&text);
    std::sort(sorted.begin(), sorted.end(),
              [](const Text* a, const Text* b) { return a->msgid < b->msgid; });
    const uint32_t n = uint32_t(sorted.size());
    const uint32_t hashSize = hashed ? NextPrime(std::max(3u, n * 4 / 3)) : 0;
    const uint32_t originals = 28, translations = originals + 8 * n;
    const uint32_t hashAt = translations + 8 * n, stringsAt = hashAt + 4 * hashSize;

    std::string header, originalTable, translationTable, strings;
    for (const Text* text : sorted) {
        Append32(originalTable, uint32_t(text->msgid.size()));
        Append32(originalTable, stringsAt + uint32_t(strings.size()));
        strings += text->msgid + '\0';
    }
    for (const Text* text : sorted) {
        Append32(translationTable, uint32_t(text->text.size()));
        Append32(translationTable, stringsAt + uint32_t(strings.size()));
        strings += text->text + '\0';
    }
    // Open addressing with double hashing; an entry is the string's number plus one.
    std::vector<uint32_t> hash(hashSize, 0);
    for (uint32_t i = 0; i < n && hashed; ++i) {
        const uint32_t value = MoHash(sorted[i]->msgid);
        uint32_t at = value % hashSize;
        const uint32_t step = 1 + value % (hashSize - 2);
        while (hash[at])
            at = at >= hashSize - step ? at - (hashSize - step) : at + step;
        hash[at] = i + 1;
    }
    for (uint32_t word : {0x950412deu, 0u, n, originals, translations, hashSize, hashAt})
        Append32(header, word);
    std::string table;
    for (uint32_t entry : hash)
        Append32(table, entry);
    return header + originalTable + translationTable + table + strings;
}

// The text table of the default language: the records back to back.
std::string MakeTextTable(const std::vector<Text>& texts) {
    std::string table;
    for (const Text& text : texts) {
        Append32(table, text.id);
        table += text.text + '\0';
    }
    return table;
}

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "mui_bench: %s\n", message.c_str());
    std::exit(2);
}

// The measuring process's catalogues, below its working directory in the directory of the
// messages locale, and the check that gettext and muiGetString really find every text.
void PrepareAndCheck() {
    const Workload& work = TheWorkload();
    unsetenv("LANGUAGE");
    // glibc translates nothing in the "C" and "POSIX" locales; C.UTF-8 is part of glibc.
    const char* locale = std::setlocale(LC_ALL, "C.UTF-8");
    if (!locale)
        locale = std::setlocale(LC_ALL, "en_US.UTF-8");
    if (!locale)
        Fail(
            "neither the C.UTF-8 nor the en_US.UTF-8 locale is available; gettext would not "
            "translate");
    const std::string messages = std::setlocale(LC_MESSAGES, nullptr);
    const fs::path root = fs::current_path() / "locale";
    WriteFile(root / messages / "LC_MESSAGES" / (std::string(kHashedDomain) + ".mo"),
              MakeCatalogue(work.texts, true));
    WriteFile(root / messages / "LC_MESSAGES" / (std::string(kSortedDomain) + ".mo"),
              MakeCatalogue(work.texts, false));
    for (const char* domain : {kHashedDomain, kSortedDomain}) {
        if (!bindtextdomain(domain, root.c_str()))
            Fail("bindtextdomain failed");
    }
    textdomain(kHashedDomain);

    for (const Text& text : work.texts) {
        for (const char* domain : {kHashedDomain, kSortedDomain}) {
            const char* found = dgettext(domain, text.msgid.c_str());
            if (text.text != found)
                Fail(std::string("gettext does not translate in locale ") + messages + " (domain " +
                     domain + "): \"" + text.msgid + "\" gave \"" + found + "\"");
        }
        const char* mui = muiGetString(text.id);
        if (text.text != mui) {
            const char* dir = muiGetDefDir();
            Fail("muiGetString(" + std::to_string(text.id) + ") gave \"" + mui + "\" (default " +
                 "language: " + (dir && dir[0] ? dir : "none below MUI beside the executable") +
                 ")");
        }
    }
    const std::string& miss = work.missMsgids.front();
    if (dgettext(kHashedDomain, miss.c_str()) != miss.c_str() || muiGetString(work.missIds[0])[0])
        Fail("a missing text was found");
    std::printf(
        "Locale %s; %d texts with random 32-bit identifiers; gettext's msgids are the "
        "identifiers in decimal (\"%s\")\n",
        messages.c_str(), kTexts, work.texts[0].msgid.c_str());
}

void MuiHit(benchmark::State& state) {
    const std::vector<uint32_t>& ids = TheWorkload().hitIds;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(muiGetString(ids[i]));
        i = i + 1 == ids.size() ? 0 : i + 1;
    }
}

void MuiMiss(benchmark::State& state) {
    const std::vector<uint32_t>& ids = TheWorkload().missIds;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(muiGetString(ids[i]));
        i = i + 1 == ids.size() ? 0 : i + 1;
    }
}

void Gettext(benchmark::State& state, const char* domain, const std::vector<std::string>* msgids) {
    std::vector<const char*> keys;
    for (const std::string& msgid : *msgids)
        keys.push_back(msgid.c_str());
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(dgettext(domain, keys[i]));
        i = i + 1 == keys.size() ? 0 : i + 1;
    }
}

void PrintRatio(const Collector& collector, const char* what, const char* mui, const char* peer,
                const char* peerName, double goal) {
    const double ours = collector.Nanoseconds(mui);
    const double theirs = collector.Nanoseconds(peer);
    if (ours <= 0 || theirs <= 0)
        return;
    std::printf(
        "%s: muiGetString %.1f ns, %s %.1f ns: %.2f times as fast "
        "(goal: at least %.0f) %s\n",
        what, ours, peerName, theirs, theirs / ours, goal,
        theirs / ours >= goal ? "" : "BELOW GOAL");
}

void PrintSummary(const Collector& collector) {
    std::printf("\n");
    PrintRatio(collector, "Hits  ", "MuiHit", "GettextHit", "gettext (hashed .mo)", 3);
    PrintRatio(collector, "Misses", "MuiMiss", "GettextMiss", "gettext (hashed .mo)", 20);
    PrintRatio(collector, "Hits  ", "MuiHit", "GettextSortedHit", "gettext (sorted .mo)", 3);
    PrintRatio(collector, "Misses", "MuiMiss", "GettextSortedMiss", "gettext (sorted .mo)", 20);
}

int RunBenchmarks(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    PrepareAndCheck();
    const Workload& work = TheWorkload();
    benchmark::RegisterBenchmark("MuiHit", MuiHit);
    benchmark::RegisterBenchmark("GettextHit", Gettext, kHashedDomain, &work.hitMsgids);
    benchmark::RegisterBenchmark("GettextSortedHit", Gettext, kSortedDomain, &work.hitMsgids);
    benchmark::RegisterBenchmark("MuiMiss", MuiMiss);
    benchmark::RegisterBenchmark("GettextMiss", Gettext, kHashedDomain, &work.missMsgids);
    benchmark::RegisterBenchmark("GettextSortedMiss", Gettext, kSortedDomain, &work.missMsgids);
    Collector collector(isatty(STDOUT_FILENO));
    benchmark::RunSpecifiedBenchmarks(&collector);
    PrintSummary(collector);
    benchmark::Shutdown();
    return 0;
}

// Writes the directory the measuring process starts in, runs it there with the same options and
// removes the directory; the measuring process's exit status.
int RunInLanguageDirectory(int argc, char** argv) {
    std::string pattern = (fs::temp_directory_path() / "tarn-mui-bench.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        Fail("cannot make a temporary directory");
    const fs::path dir = pattern;
    const fs::path copy = dir / "mui_bench";
    fs::copy_file(fs::read_symlink("/proc/self/exe"), copy);
    fs::permissions(copy, fs::perms::owner_all);
    const std::string cfg(
        "\xFF\xFE"
        "0\0\r\0\n\0D\0e\0f\0a\0u\0l\0t\0\r\0\n\0",
        22);
    WriteFile(dir / "MUI" / "default" / "langid.cfg", cfg);
    WriteFile(dir / "MUI" / "default" / "texts.mui", MakeTextTable(TheWorkload().texts));

    std::string path = copy.string();
    std::vector<char*> args{path.data(), const_cast<char*>(kChildArgument)};
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    pid_t child;
    int status = 0;
    const int error = posix_spawn(&child, path.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error == 0)
        waitpid(child, &status, 0);
    fs::remove_all(dir);
    if (error != 0)
        Fail("cannot run " + path + ": " + std::strerror(error));
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kChildArgument) == 0) {
        argv[1] = argv[0];
        return RunBenchmarks(argc - 1, argv + 1);
    }
    return RunInLanguageDirectory(argc, argv);
}
