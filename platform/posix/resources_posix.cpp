// Resources on POSIX. A code module's resources are its compiled resource file, linked in
// behind the exported symbol tarnModuleResources: a 32-bit byte count, four reserved bytes,
// then the file. A data module is a resource file read whole into a mapping of its own: a page
// for its record, the file ending where a page that cannot be read begins (a reader that
// overran it would fault at once), so the handle, the record's address with the lowest bit
// set, never equals a loader handle.
#include "platform/posix/descriptor.h"
#include "platform/posix/errors.h"
#include "platform/posix/modules_posix.h"
#include "platform/posix/paths_posix.h"
#include "platform/posix/resfile.h"
#include "platform/posix/syscalls.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tarn::posix {
namespace {

// Resource files of language packs are small; a bigger file is not one.
constexpr uint64_t kLargestDataModule = 256u << 20;

struct DataModule {
    DataModule* next;
    size_t mappingSize;
    const unsigned char* data;
    size_t size;
};

CRITICAL_SECTION gDataModulesLock;
DataModule* gDataModules;

HMODULE HandleOf(DataModule* module) {
    return reinterpret_cast<HMODULE>(reinterpret_cast<uintptr_t>(module) | 1);
}

DataModule* RecordOf(HMODULE module) {
    return reinterpret_cast<DataModule*>(reinterpret_cast<uintptr_t>(module) & ~uintptr_t(1));
}

class DataModulesGuard {
public:
    DataModulesGuard() { EnterCriticalSection(&gDataModulesLock); }
    ~DataModulesGuard() { LeaveCriticalSection(&gDataModulesLock); }
    DataModulesGuard(const DataModulesGuard&) = delete;
    DataModulesGuard& operator=(const DataModulesGuard&) = delete;
};

// The link in the list that holds `record`, or null when it is not a data module of ours.
DataModule** LinkOf(const DataModule* record) {
    for (DataModule** link = &gDataModules; *link; link = &(*link)->next) {
        if (*link == record)
            return link;
    }
    return nullptr;
}

// Reads exactly `size` bytes: a file that ends before is as bad as one that cannot be read.
bool ReadExactly(int fd, unsigned char* out, size_t size) {
    const Transfer read = ReadAll(fd, out, size);
    if (read.done == size)
        return true;
    SetLastErrorFromErrno(read.error ? read.error : EIO);
    return false;
}

// Reads the resource file into a fresh mapping; its record, or null with the last error set.
DataModule* ReadDataModule(const SystemPath& path) {
    const Descriptor file(Sys().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (!file) {
        path.SetLastErrorFromErrno(errno);
        return nullptr;
    }
    DataModule* record = nullptr;
    struct stat64 status;
    if (Sys().fstat(file.Get(), &status) != 0) {
        SetLastErrorFromErrno(errno);
    } else if (!S_ISREG(status.st_mode) || uint64_t(status.st_size) > kLargestDataModule) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
    } else {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t size = size_t(status.st_size);
        // Four-byte entries stay aligned: the file begins on a four-byte boundary as close
        // to the guard page as that allows.
        const size_t room = (size + 3) & ~size_t(3);
        const size_t body = (room + page - 1) / page * page;
        const size_t mappingSize = page + body + page;
        void* mapping =
            mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        } else {
            auto* base = static_cast<unsigned char*>(mapping);
            unsigned char* data = base + page + body - room;
            if (ReadExactly(file.Get(), data, size) &&
                mprotect(base + page + body, page, PROT_NONE) == 0) {
                record = static_cast<DataModule*>(mapping);
                *record = {nullptr, mappingSize, data, size};
            } else {
                munmap(mapping, mappingSize);
            }
        }
    }
    return record;
}

// The resource file of a module: a data module's, the one linked into a code module, or none.
bool ResourcesOf(HMODULE module, ResourceFile& file) {
    if (IsDataModuleHandle(module)) {
        DataModulesGuard guard;
        DataModule* record = RecordOf(module);
        if (!LinkOf(record)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return false;
        }
        file = ResourceFile(record->data, record->size);
        return true;
    }
    link_map* map = module ? LoadedModule(module) : MainProgram();
    if (!map)
        return false;
    const auto* linked = static_cast<const unsigned char*>(OwnSymbol(map, "tarnModuleResources"));
    if (!linked) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return false;
    }
    uint32_t size;
    memcpy(&size, linked, sizeof size);
    file = ResourceFile(linked + 8, size);
    return true;
}

// The entry of that name and type, or false with the last error set.
bool FindEntry(HMODULE module, LPCSTR name, LPCSTR type, ResourceEntry& entry) {
    ResourceFile file(nullptr, 0);
    if (!ResourcesOf(module, file))
        return false;
    const ResourceKey typeKey(type);
    const ResourceKey nameKey(name);
    if (!typeKey.Valid() || !nameKey.Valid()) {
        SetLastError(typeKey.Valid() ? ERROR_RESOURCE_NAME_NOT_FOUND
                                     : ERROR_RESOURCE_TYPE_NOT_FOUND);
        return false;
    }
    switch (file.Find(typeKey, nameKey, entry)) {
        case ResourceFile::Lookup::Found:
            return true;
        case ResourceFile::Lookup::NoType:
            SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
            return false;
        case ResourceFile::Lookup::NoName:
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return false;
        case ResourceFile::Lookup::Damaged:
            break;
    }
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return false;
}

// The UTF-16 string of a string table block: the entry's units and their count, or false when
// the block ends before it.
bool StringOfBlock(const ResourceEntry& block, unsigned index, const unsigned char*& units,
                   size_t& count) {
    size_t at = 0;
    for (unsigned i = 0;; ++i) {
        if (block.size - at < 2)
            return false;
        count = size_t(block.data[at] | block.data[at + 1] << 8);
        at += 2;
        if ((block.size - at) / 2 < count)
            return false;
        if (i == index) {
            units = block.data + at;
            return true;
        }
        at += 2 * count;
    }
}

// Stores the UTF-16 units as UTF-8 into `out` of `size` bytes, whole characters only, and the
// terminator; the bytes stored without it.
int StoreCut(const unsigned char* units, size_t count, LPSTR out, int size) {
    int stored = 0;
    for (size_t i = 0; i < count;) {
        WCHAR piece[2] = {WCHAR(units[2 * i] | units[2 * i + 1] << 8), 0};
        int length = 1;
        if (piece[0] >= 0xD800 && piece[0] < 0xDC00 && i + 1 < count) {
            piece[1] = WCHAR(units[2 * i + 2] | units[2 * i + 3] << 8);
            length = piece[1] >= 0xDC00 && piece[1] < 0xE000 ? 2 : 1;
        }
        char bytes[8];
        const int n =
            WideCharToMultiByte(CP_UTF8, 0, piece, length, bytes, sizeof bytes, nullptr, nullptr);
        if (n <= 0 || n > size - 1 - stored)
            break;
        memcpy(out + stored, bytes, size_t(n));
        stored += n;
        i += size_t(length);
    }
    out[stored] = '\0';
    return stored;
}

}  // namespace

BOOL FreeDataModule(HMODULE module) {
    DataModule* record = RecordOf(module);
    {
        DataModulesGuard guard;
        DataModule** link = LinkOf(record);
        if (!link) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        *link = record->next;
    }
    munmap(record, record->mappingSize);
    return TRUE;
}

}  // namespace tarn::posix

using namespace tarn::posix;

HMODULE WINAPI LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
    if (!name || file || (flags != 0 && flags != LOAD_LIBRARY_AS_DATAFILE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags == 0)
        return LoadLibraryA(name);
    const SystemPath path(name);
    if (!path.Valid())
        return nullptr;
    DataModule* record = ReadDataModule(path);
    if (!record)
        return nullptr;
    if (!ResourceFile(record->data, record->size).Valid()) {
        munmap(record, record->mappingSize);
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    DataModulesGuard guard;
    record->next = gDataModules;
    gDataModules = record;
    return HandleOf(record);
}

HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    if (!name || !type) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ResourceEntry entry;
    if (!FindEntry(module, name, type, entry))
        return nullptr;
    return reinterpret_cast<HRSRC>(const_cast<unsigned char*>(entry.header));
}

HGLOBAL WINAPI LoadResource(HMODULE, HRSRC resource) {
    if (!resource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const auto* header = reinterpret_cast<const unsigned char*>(resource);
    return const_cast<unsigned char*>(ResourceFile::EntryAt(header).data);
}

LPVOID WINAPI LockResource(HGLOBAL resource) { return resource; }

DWORD WINAPI SizeofResource(HMODULE, HRSRC resource) {
    if (!resource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return ResourceFile::EntryAt(reinterpret_cast<const unsigned char*>(resource)).size;
}

int WINAPI LoadStringA(HMODULE module, UINT id, LPSTR buffer, int size) {
    if (!buffer || size <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    buffer[0] = '\0';
    ResourceEntry block;
    const WORD number = WORD(id);
    if (!FindEntry(module, MAKEINTRESOURCEA((number >> 4) + 1), RT_STRING, block))
        return 0;
    const unsigned char* units;
    size_t count;
    if (!StringOfBlock(block, number & 15, units, count))
        return 0;
    return StoreCut(units, count, buffer, size);
}
