// What tarnsym reads: the module map's blocks and the code addresses in the lines of a log,
// history or exception file, and which block belongs to which run recorded in the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::symbolize {

struct MapModule {
    uint64_t base = 0;
    uint64_t size = 0;
    std::string id;    // "elf:...", "pdb:...", "pe:..." or "-"
    std::string path;  // as the process's system named it

    bool Holds(uint64_t address) const { return address - base < size; }
};

// One block of the map: one process at one occasion.
struct MapBlock {
    unsigned long pid = 0;
    std::string started;  // "YYYY-MM-DD HH:MM:SS", as the records' headers give it
    std::string occasion;
    std::vector<MapModule> modules;
    bool complete = false;  // its closing line counted every module
};

// The blocks of a map file, in file order. Lines of other forms are skipped.
std::vector<MapBlock> ReadMap(std::string_view text);

// The modules of the process that the addresses of one run belong to: among the blocks of
// processes started at `started`, the process whose modules hold the most of `addresses`;
// every block of it merged (later blocks add the modules loaded meanwhile). Empty when no
// block was written for that start.
std::vector<MapModule> ModulesOfRun(const std::vector<MapBlock>& blocks, const std::string& started,
                                    const std::vector<uint64_t>& addresses);

// A code address inside a record line.
struct CodeAddress {
    size_t begin = 0;  // where its digits start in the line
    size_t end = 0;
    uint64_t value = 0;
    // A return address (stack entries): its call lies just before it. Otherwise the address of
    // the faulting instruction itself (the instruction-pointer register of a fault).
    bool returns = true;
};

// The code addresses of one line: the "EIP=0x" entries of stack lines, the lists after
// "STACK:", "allocator IP=0x", the return address after "->" of mark records, and the
// instruction pointer of a fault's register lines ("RIP=", "EIP=" or with "0x").
std::vector<CodeAddress> FindCodeAddresses(std::string_view line);

// The start time of a run when `line` opens one ("// YYYY-MM-DD HH:MM:SS" of the headers) or
// tells it ("Working since" / "Is working since" after a day change); "" otherwise.
// `opens` says which.
std::string RunStart(std::string_view line, bool& opens);

// A module's path on this machine: a Windows path under Wine ("Z:\work\demo.exe") becomes the
// host path ("/work/demo.exe"); other drives are looked up in the Wine prefix's dosdevices
// (none given: "" for them). POSIX paths stay as they are.
std::string HostPath(const std::string& path, const std::string& winePrefix);

// The last part of a path of either kind.
std::string ModuleName(const std::string& path);

}  // namespace tarn::symbolize
