// The module map beside the log, history and exception files: which modules the process had
// loaded, where, and which build each was, so that the raw return addresses of its records
// can be resolved to functions and lines later, outside the process.
#pragma once

#include <cstddef>

namespace tarn {

// Names the map "<program>.map" beside `recordFile`, a file of the weekday directory; done by
// the Log whenever it names its files. The name stays when the Log goes: the memory report
// comes after it.
void SetModuleMapFile(const char* recordFile);

// Appends one block to the map: the process identifier and the Log's start time, which the
// records carry in their headers, the occasion, and a line per loaded module. Allocation-free
// and without the loader's lock: the first crash record writes it from inside a fault. Faults
// are caught; nothing is reported. Serialised with the crash reports.
void WriteModuleMap(const char* occasion);

// "<program>.map" for a file "<program>.<ext>" of the weekday directory, into `out`; false when
// it does not fit in `size` characters or `recordFile` has no extension.
bool ModuleMapName(const char* recordFile, char* out, size_t size);

}  // namespace tarn
