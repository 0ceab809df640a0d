// Tests of what tarnsym reads: the code addresses of record lines, the map's blocks and the
// choice among them, the runs of a file, and the paths of Windows modules on this machine.
#include "log/symbolize/records.h"

#include <gtest/gtest.h>

namespace tarn::symbolize {
namespace {

struct Found {
    uint64_t value;
    bool returns;
    std::string digits;

    bool operator==(const Found&) const = default;
};

std::vector<Found> Addresses(const std::string& line) {
    std::vector<Found> found;
    for (const CodeAddress& a : FindCodeAddresses(line))
        found.push_back({a.value, a.returns, line.substr(a.begin, a.end - a.begin)});
    return found;
}

std::ostream& operator<<(std::ostream& out, const Found& f) {
    return out << f.digits << (f.returns ? " (return)" : " (instruction)");
}

TEST(CodeAddresses, StackEntriesAreReturnAddressesAndTheFaultsIPIsItsInstruction) {
    EXPECT_EQ(Addresses("[Advanced STACK: EIP=0x55AE891C88CA EIP=0x7F64E256524A]"),
              (std::vector<Found>{{0x55AE891C88CA, true, "55AE891C88CA"},
                                  {0x7F64E256524A, true, "7F64E256524A"}}));
    EXPECT_EQ(Addresses("[STACK: EIP=0x08049F00]"),
              (std::vector<Found>{{0x08049F00, true, "08049F00"}}));
    // The register lines of a fault, 64- and 32-bit, and the box text in the history file.
    EXPECT_EQ(Addresses("RDI=55AEC9063B00 RIP=55AE891C88CA RBP=7FFE8E885D20 RSP=7FFE8E885C50 "
                        "EFL=10202"),
              (std::vector<Found>{{0x55AE891C88CA, false, "55AE891C88CA"}}));
    EXPECT_EQ(Addresses("EDI=0 EIP=8049F00 EBP=FFFFD0A8 ESP=FFFFD080 EFL=246"),
              (std::vector<Found>{{0x8049F00, false, "8049F00"}}));
    EXPECT_EQ(Addresses("RIP=0x000055AE891C88CA"),
              (std::vector<Found>{{0x55AE891C88CA, false, "000055AE891C88CA"}}));
    // Data addresses and codes are left alone.
    EXPECT_TRUE(Addresses("Exception 0xC0000005: ACCESS_VIOLATION").empty());
    EXPECT_TRUE(Addresses("RAX=1 RBX=55AE891CB178 RCX=65 RDX=41220C00 RSI=55AEC9223DA0").empty());
}

TEST(CodeAddresses, TheMemoryReportsListsEndAtTheirZeroEntries) {
    EXPECT_EQ(Addresses("Allocator STACK: 0x55AE891C894E 0x7F64E256524A 0x00000000 0x00000000 "),
              (std::vector<Found>{{0x55AE891C894E, true, "55AE891C894E"},
                                  {0x7F64E256524A, true, "7F64E256524A"}}));
    EXPECT_EQ(Addresses("Unfreed=0x0804C008[   300]'malloc()' allocator IP=0x08049A10 (Ts:12):"),
              (std::vector<Found>{{0x08049A10, true, "08049A10"}}));
    EXPECT_EQ(Addresses("STACK: 0x08049A10 0x08049B20"),
              (std::vector<Found>{{0x08049A10, true, "08049A10"}, {0x08049B20, true, "08049B20"}}));
    // A mark's record gives its frame, then its return address.
    EXPECT_EQ(Addresses("INVALID STACK leave[2]:7FFE8E885D20->55AE891C88CA"),
              (std::vector<Found>{{0x55AE891C88CA, true, "55AE891C88CA"}}));
    EXPECT_EQ(Addresses("GlobalRealloc() error: GetLastError(8)data=0x1000; newsize=9, "
                        "oldsize=0?, caller EIP=0x0804A000"),
              (std::vector<Found>{{0x0804A000, true, "0804A000"}}));
}

TEST(Runs, HeadersOpenARunAndADayChangeTellsWhenItStarted) {
    bool opens = false;
    EXPECT_EQ(RunStart("// 2026-12-07 12:23:53", opens), "2026-12-07 12:23:53");
    EXPECT_TRUE(opens);
    EXPECT_EQ(RunStart("00:00.004.543 // 2026-12-08 00:00:01 ", opens), "2026-12-08 00:00:01");
    EXPECT_TRUE(opens);
    EXPECT_EQ(RunStart("23:59.001.002 Working since 2026-12-07 23:59:58", opens),
              "2026-12-07 23:59:58");
    EXPECT_FALSE(opens);
    EXPECT_EQ(RunStart("00:00.001.064 Is working since:Executable from: Dec  7 2026 12:23:02 - "
                       "2026-12-07 23:59:58",
                       opens),
              "2026-12-07 23:59:58");
    EXPECT_FALSE(opens);
    EXPECT_EQ(RunStart("00:00.004.550 started:demo - run 1", opens), "");
}

const char kMap[] =
    "process 100 started 2026-12-07 12:00:00 at crash record\r\n"
    "module 0x0000555500000000 0x0000000000010000 elf:AA /opt/app/demo\r\n"
    "module 0x00007F0000000000 0x0000000000040000 elf:BB /opt/app/libtarnkernl.so\r\n"
    "modules 2\r\n"
    "process 200 started 2026-12-07 12:00:00 at memory report\r\n"
    "module 0x0000566600000000 0x0000000000010000 elf:AA /opt/app/demo\r\n"
    "modules incomplete\r\n"
    "process 100 started 2026-12-07 12:00:00 at memory report\r\n"
    "module 0x0000555500000000 0x0000000000010000 elf:AA /opt/app/demo\r\n"
    "module 0x00007F1000000000 0x0000000000002000 elf:CC /opt/app/plugin.plg\r\n"
    "modules 2\r\n"
    "process 300 started 2026-12-07 12:00:01 at memory report\r\n"
    "module 0x0000555500000000 0x0000000000010000 elf:AA /opt/app/demo\r\n";

TEST(MapFile, BlocksAreReadWithTheirModules) {
    std::vector<MapBlock> blocks = ReadMap(kMap);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[0].pid, 100u);
    EXPECT_EQ(blocks[0].started, "2026-12-07 12:00:00");
    EXPECT_EQ(blocks[0].occasion, "crash record");
    ASSERT_EQ(blocks[0].modules.size(), 2u);
    EXPECT_EQ(blocks[0].modules[1].base, 0x7F0000000000u);
    EXPECT_EQ(blocks[0].modules[1].size, 0x40000u);
    EXPECT_EQ(blocks[0].modules[1].id, "elf:BB");
    EXPECT_EQ(blocks[0].modules[1].path, "/opt/app/libtarnkernl.so");
    EXPECT_TRUE(blocks[0].complete);
    EXPECT_FALSE(blocks[1].complete);
    EXPECT_FALSE(blocks[3].complete);  // cut off: no closing line
}

TEST(MapFile, ARunGetsTheProcessThatHoldsItsAddressesWithAllItsBlocks) {
    std::vector<MapBlock> blocks = ReadMap(kMap);
    // Two processes started in the same second: the addresses tell them apart.
    std::vector<MapModule> run = ModulesOfRun(blocks, "2026-12-07 12:00:00", {0x555500001234});
    ASSERT_EQ(run.size(), 3u);
    EXPECT_EQ(run[1].path, "/opt/app/libtarnkernl.so");
    EXPECT_EQ(run[2].path, "/opt/app/plugin.plg");  // loaded after the first block
    run = ModulesOfRun(blocks, "2026-12-07 12:00:00", {0x566600001234, 0x566600000010});
    ASSERT_EQ(run.size(), 1u);
    EXPECT_EQ(run[0].base, 0x566600000000u);
    EXPECT_EQ(ModulesOfRun(blocks, "2026-12-07 12:00:01", {1}).size(), 1u);
    EXPECT_TRUE(ModulesOfRun(blocks, "2026-12-07 12:00:02", {0x555500001234}).empty());
}

TEST(HostPaths, WindowsModulesAreFoundWhereWineKeepsThem) {
    EXPECT_EQ(HostPath("Z:\\work\\build\\demo\\demo.exe", ""), "/work/build/demo/demo.exe");
    EXPECT_EQ(HostPath("\\\\?\\Z:\\work\\tarnkernl.dll", ""), "/work/tarnkernl.dll");
    EXPECT_EQ(HostPath("C:\\windows\\system32\\KERNEL32.dll", "/home/u/.wine"),
              "/home/u/.wine/dosdevices/c:/windows/system32/KERNEL32.dll");
    EXPECT_EQ(HostPath("C:\\windows\\system32\\KERNEL32.dll", ""), "");
    EXPECT_EQ(HostPath("/opt/app/libtarnkernl.so", ""), "/opt/app/libtarnkernl.so");
    EXPECT_EQ(ModuleName("Z:\\work\\demo.exe"), "demo.exe");
    EXPECT_EQ(ModuleName("/opt/app/libtarnkernl.so"), "libtarnkernl.so");
    EXPECT_EQ(ModuleName("linux-vdso.so.1"), "linux-vdso.so.1");
}

}  // namespace
}  // namespace tarn::symbolize
