// The order in which the library's static objects are built when it is attached to a process;
// they are destroyed in the reverse order. Every static object that takes part names its slot
// here with TARN_START(slot); objects without a slot are built after all of these.
#pragma once

namespace tarn::start {

// GCC init priorities: 101 and above are free; smaller numbers are built first.
inline constexpr int InstallWorkingDir = 1100;  // "install.ini" beside the executable
inline constexpr int StartupAllocator = 1200;   // start-up allocator behind the runtime's interface
inline constexpr int MemoryLock = 1210;
inline constexpr int MarkTables = 1300;  // call-stack marks and break-stack table
inline constexpr int LogLock = 1400;
inline constexpr int HistoryLock = 1410;
inline constexpr int LogAtFork = 1420;       // log locks held across a fork, inside the allocator's
inline constexpr int ProcessLog = 1500;      // the Log: names, opens and heads the files
inline constexpr int ShowFirstFault = 1600;  // "/gpfshow"
inline constexpr int StartupFlag = 1610;     // start-up phase, unless "/mem:all"
inline constexpr int LowFragPool = 1700;     // the process's allocator unless the companion loaded
inline constexpr int EmptyString = 1800;     // holder of the shared empty string
inline constexpr int KeptModules = 1900;     // exit handler of the kept-module list
inline constexpr int FileLinks = 1910;
inline constexpr int LanguageSets = 1920;  // default and configured language sets

}  // namespace tarn::start

#define TARN_START(slot) __attribute__((init_priority(::tarn::start::slot)))
