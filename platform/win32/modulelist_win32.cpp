// The loaded modules on Windows, read from the loader's list in the process environment block
// and the PE headers mapped with each module.
//
// The first crash record lists them on the faulting thread, which may hold the loader's lock
// or wait for it behind another thread: the list is read without the lock (the loader links a
// new entry in only once it is complete), with plain loads the caller's catch protects.
// Nothing allocates; WideCharToMultiByte converts into a buffer on the stack.
#include "platform/modulelist.h"

#include "platform/win32.h"

#include <winternl.h>

namespace tarn {
namespace {

constexpr int kMostModules = 4096;

struct CodeViewRecord {
    DWORD signature;  // "RSDS"
    GUID guid;
    DWORD age;
};

constexpr DWORD kCodeViewSignature = 0x53445352;

// `text` and then `value` in upper-case hexadecimal, at least `digits` digits; the end.
char* Append(char* out, const char* text, uint32_t value, int digits) {
    while (*text)
        *out++ = *text++;
    while (digits < 8 && (value >> (4 * digits)) != 0)
        ++digits;
    for (int i = digits - 1; i >= 0; --i)
        *out++ = "0123456789ABCDEF"[(value >> (4 * i)) & 0xF];
    *out = 0;
    return out;
}

// "pdb:" with the CodeView GUID and age in the symbol servers' order, else "pe:" with the
// image's time stamp and size.
void IdOf(uintptr_t base, const IMAGE_NT_HEADERS& headers, char* out) {
    const IMAGE_DATA_DIRECTORY& debug =
        headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    const auto* entries =
        reinterpret_cast<const IMAGE_DEBUG_DIRECTORY*>(base + debug.VirtualAddress);
    const DWORD count = debug.VirtualAddress ? debug.Size / sizeof *entries : 0;
    for (DWORD i = 0; i < count; ++i) {
        if (entries[i].Type != IMAGE_DEBUG_TYPE_CODEVIEW || !entries[i].AddressOfRawData ||
            entries[i].SizeOfData < sizeof(CodeViewRecord))
            continue;
        const auto* record =
            reinterpret_cast<const CodeViewRecord*>(base + entries[i].AddressOfRawData);
        if (record->signature != kCodeViewSignature)
            continue;
        char* end = Append(out, "pdb:", record->guid.Data1, 8);
        end = Append(end, "", record->guid.Data2, 4);
        end = Append(end, "", record->guid.Data3, 4);
        end = HexDigits(end, record->guid.Data4, sizeof record->guid.Data4);
        Append(end, "", record->age, 1);
        return;
    }
    Append(Append(out, "pe:", headers.FileHeader.TimeDateStamp, 8), "",
           headers.OptionalHeader.SizeOfImage, 1);
}

// The thread's environment block points to the process's at a fixed offset. (NtCurrentTeb's
// segment read trips GCC's array-bounds check.)
const PEB* ProcessBlock() {
    const PEB* peb;
#if defined(__x86_64__)
    asm("movq %%gs:0x60, %0" : "=r"(peb));
#else
    asm("movl %%fs:0x30, %0" : "=r"(peb));
#endif
    return peb;
}

}  // namespace

int ListModules(ModuleVisitor visit, void* context) {
    const PEB* peb = ProcessBlock();
    const LIST_ENTRY* head = &peb->Ldr->InMemoryOrderModuleList;
    char path[MAX_PATH * 4];
    char id[64];
    int visited = 0;
    const LIST_ENTRY* link = head->Flink;
    for (int i = 0; link != head && i < kMostModules; link = link->Flink, ++i) {
        const auto* entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
        const uintptr_t base = reinterpret_cast<uintptr_t>(entry->DllBase);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        if (!base || dos->e_magic != IMAGE_DOS_SIGNATURE)
            continue;
        const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        if (headers->Signature != IMAGE_NT_SIGNATURE)
            continue;
        const UNICODE_STRING& name = entry->FullDllName;
        int length = WideCharToMultiByte(CP_ACP, 0, name.Buffer, name.Length / 2, path,
                                         sizeof path - 1, nullptr, nullptr);
        path[length > 0 ? length : 0] = 0;
        IdOf(base, *headers, id);
        visit({path, base, headers->OptionalHeader.SizeOfImage, id}, context);
        ++visited;
    }
    return link == head ? visited : -1;
}

}  // namespace tarn
