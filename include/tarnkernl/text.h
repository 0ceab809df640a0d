// Text: the dynamic string `str`, word and substring utilities, the print buffer, `_pow10` and
// the growable vectors. Inline members are compiled into every client module; the rest is
// exported by the library.
#pragma once

#include "tarnkernl/api.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

class str;

namespace tarn {

// The pieces of `str` that read a caller's text. They never let a fault reach the caller: a
// text that cannot be read gives the shared empty string (or cuts a list at that part).
// Allocation failure gives null. Blocks come from the runtime's calloc.
TARN_API char* NewText(const char* text);             // null or "" give the shared empty string
TARN_API char* NewText(const char* text, int count);  // count + 1 bytes, at most count copied
TARN_API char* JoinParts(const char* const* parts);   // parts end with a null pointer
TARN_API const char* AssignParts(str& s, const char* const* parts);

}  // namespace tarn

// The library's owning string: one pointer to a NUL-terminated text on the runtime heap, to the
// shared empty string, or null (only after a failed allocation). Any module may release a
// string another module built: blocks come from calloc and go back through operator delete.
class str {
public:
    char* p;

    str() : p(GetStrNull()) {}
    str(const char* text) : p(tarn::NewText(text)) {}
    str(const char* text, int count) : p(tarn::NewText(text, count)) {}
    // The concatenation of the parts; the list ends at its first null part.
    template <class... More>
    requires(std::is_convertible_v<More, const char*>&&...)
        str(const char* first, const char* second, More... more) {
        const char* parts[] = {first, second, more..., nullptr};
        p = tarn::JoinParts(parts);
    }
    str(const str& other) : p(tarn::NewText(other.p)) {}
    str(str&& other) noexcept : p(other.p) { other.p = GetStrNull(); }
    ~str() { Clear(); }

    str& operator=(const str& other) {
        operator=(other.p);
        return *this;
    }
    str& operator=(str&& other) noexcept {
        std::swap(p, other.p);
        return *this;
    }

    void Clear() {
        if (p != GetStrNull()) {
            ::operator delete(p);
            p = GetStrNull();
        }
    }
    // Discards the text; the new block of `size` bytes is zero-filled.
    char* Alloc(int size) {
        Clear();
        return AllocRaw(size);
    }

    // The old block is released only after the new text is complete, so `text` may point into
    // this string's own text.
    const char* operator=(const char* text) { return Replace(tarn::NewText(text)); }
    const char* AssignN(const char* text, int count) {
        // A counted copy always owns a block: the shared empty string means the text faulted.
        const char* result = Replace(tarn::NewText(text, count));
        return result == GetStrNull() ? nullptr : result;
    }
    // Replaces the text with the concatenation of the parts (see the list constructor). 0, and
    // nothing changed, when this string object cannot be read.
    template <class... More>
    requires(std::is_convertible_v<More, const char*>&&...) const
        char* Assign(const char* first, const char* second, More... more) {
        const char* parts[] = {first, second, more..., nullptr};
        return tarn::AssignParts(*this, parts);
    }

    // Writable: callers write into blocks they sized with Alloc or operator=(unsigned int).
    operator char*() const { return p; }
    char* At(int index) const { return p + index; }
    int Length() const { return static_cast<int>(strlen(p)); }

    // The total length of the parts up to the null pointer or the first unreadable part;
    // `count` (may be null) receives how many parts were measured.
    TARN_API static int CalcLen(const char* const* parts, int* count);

    TARN_API static char* GetStrNull();
    TARN_API str& Append(const char* text);
    // A writable text of `count` blanks; 0 (and a null string) when allocation fails.
    TARN_API const char* operator=(unsigned int count);
    TARN_API const char* Set(const WCHAR* text);
    // The window's text; the shared empty string when it has none.
    TARN_API const char* operator()(HWND window);
    TARN_API const char* operator()(HWND dialog, int item);

private:
    char* AllocRaw(int size) {
        if (size < 0)
            return p = nullptr;
        p = static_cast<char*>(calloc(1, size > 1 ? size : 1));
        if (p)
            *p = 0;
        return p;
    }
    const char* Replace(char* text) {
        char* old = p;
        p = text;
        if (old != GetStrNull())
            ::operator delete(old);
        return p;
    }
    // Neither releases the old block: the callers have.
    TARN_API const char* ConstructHWND(HWND window);
    TARN_API const char* ConstructHWND(HWND dialog, int item);
};

static_assert(sizeof(str) == sizeof(char*), "str is one pointer, embedded by value elsewhere");

// Formatting into a string: vsprintf replaces the text (a format that yields nothing leaves it
// as it was), vfprintf appends; both return the number of characters formatted, 0 when memory
// ran out (the string is then null).
TARN_API int vsprintf(str& s, const char* format, va_list args) TARN_PRINTF(2, 0);
TARN_API int sprintf(str& s, const char* format, ...) TARN_PRINTF(2, 3);
TARN_API int vfprintf(str& s, const char* format, va_list args) TARN_PRINTF(2, 0);
TARN_API int fprintf(str& s, const char* format, ...) TARN_PRINTF(2, 3);

// ---- Resource strings and combo text ----

// A string resource of a module: by number (below 65536) or by the address of its name.
struct ResId {
    str name;
    uintptr_t id;
    HINSTANCE module;

    ResId(unsigned int id, HINSTANCE module) : id(id), module(module) {}
    bool IsNumber() const { return (id >> 16) == 0; }
};

// Loads the resource into `text` and returns its characters: a number from the module's
// string table or else from the language tables, a name from the module's string resources.
// A missing one leaves `text` empty and gives null; with `report` it gives instead a
// placeholder that names the resource and the module, and the user is told in a box (one at a
// time).
TARN_API const char* LoadRes(str& text, const ResId& resource, bool report);
TARN_API const char* LoadRes(str& text, unsigned int id, HINSTANCE module, bool report);

// The text of the item selected in a combo box; empty without a selection or a window.
class ComboStr : public str {
public:
    explicit ComboStr(HWND combo) { vGetCurSelText(combo); }
    ComboStr(HWND dialog, int item) { vGetCurSelText(dialog, item); }

    TARN_API void vGetCurSelText(HWND combo);
    TARN_API void vGetCurSelText(HWND dialog, int item);
};

// The text of the calling thread's last system error, as PrintError writes it.
class strError : public str {
public:
    TARN_API strError();
};

// Words are separated by blanks and line feeds only.
TARN_API char* WordBeg(const char* text);
TARN_API char* WordEnd(const char* text);
TARN_API int Words(const char* text);
TARN_API bool isin(const char* list, const char* word);  // ignoring case
// The first place of `part` (its first partLength characters) in the first textLength
// characters of `text`, or null; a length of -1 means up to the terminator.
TARN_API const char* strnstrn(const char* text, int textLength, const char* part, int partLength);
TARN_API const char* strnistrn(const char* text, int textLength, const char* part, int partLength);
inline const char* strnistrn(const char* text, const char* part) {
    return strnistrn(text, -1, part, -1);
}
TARN_API const char* strnchr(const char* text, int length, char c);

// The formatting buffer: its text starts in storage that a wrapper places right behind the base
// (see PrintBuffer) and moves to the heap only when formatted output does not fit. A capacity
// with the high bit set marks a fixed buffer, which refuses output that does not fit.
class PrintBufferBase {
public:
    static constexpr int Fixed = INT_MIN;

    char* data;
    int capacity;  // characters without the terminator, in the low 31 bits
    unsigned length;

    TARN_API PrintBufferBase(int capacity, const char* format, va_list arguments) TARN_PRINTF(3, 0);
#if TARN_ARGS_FOLLOW_FORMAT
    // `formatAndArguments` is the address of a variadic caller's format parameter. That caller
    // must not be inlined ([[gnu::noinline]]): only a real call lays its arguments out behind
    // the format.
    TARN_API PrintBufferBase(int capacity, const char** formatAndArguments);
#endif
    TARN_API ~PrintBufferBase();
    PrintBufferBase(const PrintBufferBase&) = delete;
    PrintBufferBase& operator=(const PrintBufferBase&) = delete;

    bool OnHeap() const { return data != InlineStorage(); }
    // The characters the storage holds without the terminator, and whether it refuses to grow.
    int Room() const { return capacity & ~Fixed; }
    bool Refuses() const { return (capacity & Fixed) != 0; }

protected:
    explicit PrintBufferBase(int capacity) : data(InlineStorage()), capacity(capacity), length(0) {
        data[0] = 0;
    }

private:
    char* InlineStorage() const {
        return reinterpret_cast<char*>(const_cast<PrintBufferBase*>(this) + 1);
    }
};

static_assert(sizeof(void*) != 4 || sizeof(PrintBufferBase) == 12, "the 32-bit layout");

// Replace (vsprintf, sprintf, wsprintfA) or append (vfprintf, fprintf) formatted text; the
// result is the number of characters added, 0 when the output was empty or did not fit.
TARN_API int vsprintf(PrintBufferBase& buffer, const char* format, va_list args) TARN_PRINTF(2, 0);
TARN_API int sprintf(PrintBufferBase& buffer, const char* format, ...) TARN_PRINTF(2, 3);
TARN_API int wsprintfA(PrintBufferBase& buffer, const char* format, ...) TARN_PRINTF(2, 3);
TARN_API int vfprintf(PrintBufferBase& buffer, const char* format, va_list args) TARN_PRINTF(2, 0);
TARN_API int fprintf(PrintBufferBase& buffer, const char* format, ...) TARN_PRINTF(2, 3);

// A print buffer with `Capacity` characters of inline storage; `IsFixed` keeps it there.
template <int Capacity, bool IsFixed = false>
class PrintBuffer : public PrintBufferBase {
    static_assert(Capacity > 0);

public:
    PrintBuffer() : PrintBufferBase(Flags) {}
    TARN_PRINTF(2, 3) explicit PrintBuffer(const char* format, ...) : PrintBufferBase(Flags) {
        va_list args;
        va_start(args, format);
        ::vsprintf(*this, format, args);
        va_end(args);
    }

private:
    static constexpr int Flags = Capacity | (IsFixed ? Fixed : 0);
    char storage_[Capacity + 1];  // must follow the base directly: the base finds it there
};

extern "C" {
// Ten to the power n: 0 below -4932, positive infinity above 4932.
TARN_API double _pow10(int n);
}

namespace tarn {

// The fields every vector shares, and its operations on raw bytes with the element size as a
// parameter. The storage comes from the runtime's realloc and goes back with operator delete.
class VectorBase {
public:
    static constexpr uint32_t Destroyed = 0xFFFFFFFF;

    uint32_t capacity = 0;  // bytes of storage; Destroyed after Destroy()
    uint32_t count = 0;
    void* data = nullptr;

    constexpr VectorBase() = default;
    VectorBase(const VectorBase&) = delete;
    VectorBase& operator=(const VectorBase&) = delete;

    uint32_t Count() const { return count; }
    TARN_API void Clear();
    void Destroy() {
        Clear();
        capacity = Destroyed;
    }

protected:
    // Growth reserves half as much again; slots raised over are zero. False when destroyed or
    // when the storage cannot grow; the vector is then unchanged.
    TARN_API bool SetCount(uint32_t n, uint32_t size);
    TARN_API bool RemoveAt(uint32_t index, uint32_t size);
    void* At(uint32_t index, uint32_t size) const {
        return index < count ? static_cast<char*>(data) + index * size : nullptr;
    }
};

}  // namespace tarn

// A growable array of T held in place. T must be valid when all its bytes are zero (a new slot
// is zeroed, not constructed) and may be moved by copying its bytes: plain values, pointers,
// `str`, vectors. Elements with a destructor are destroyed when removed or cut off.
template <class T>
class Vector : public tarn::VectorBase {
public:
    constexpr Vector() = default;
    ~Vector() { Destroy(); }

    bool SetCount(uint32_t n) {
        if (capacity == Destroyed)
            return false;
        DestroyFrom(n);
        return VectorBase::SetCount(n, sizeof(T));
    }
    T* At(uint32_t index) const { return static_cast<T*>(VectorBase::At(index, sizeof(T))); }
    // The new last element, or null when the vector could not grow.
    T* Append(T element) {
        if (!SetCount(count + 1))
            return nullptr;
        T* slot = At(count - 1);
        *slot = std::move(element);
        return slot;
    }
    bool RemoveAt(uint32_t index) {
        if (index >= count)
            return false;
        if constexpr (!std::is_trivially_destructible_v<T>)
            At(index)->~T();
        return VectorBase::RemoveAt(index, sizeof(T));
    }
    void Clear() {
        DestroyFrom(0);
        VectorBase::Clear();
    }
    void Destroy() {
        Clear();
        capacity = Destroyed;
    }

    // Vector<str>: a new element holding `text`, or null when the vector could not grow;
    // without text the element stays zero (a null string).
    T* Append(const char* text) requires std::is_same_v<T, str> {
        if (!SetCount(count + 1))
            return nullptr;
        T* slot = At(count - 1);
        if (text)
            *slot = text;
        return slot;
    }
    // Vector<str>: index + 1 of the last element whose text equals `text`, or 0.
    uint32_t FindText(const char* text) const requires std::is_same_v<T, str> {
        for (uint32_t i = count; i > 0; --i) {
            const char* element = At(i - 1)->p;
            if (element && text && strcmp(element, text) == 0)
                return i;
        }
        return 0;
    }

private:
    void DestroyFrom(uint32_t first) {
        if constexpr (!std::is_trivially_destructible_v<T>) {
            for (uint32_t i = first; i < count; ++i)
                At(i)->~T();
        }
    }
};

// Pointers the vector does not own: removing or destroying never touches what they point to.
template <class T>
class pConstVector : public Vector<T> {
    static_assert(std::is_pointer_v<T>);

public:
    // The stored pointer, or 0 when the vector could not grow (a null pointer is stored but
    // reports 0 as well).
    T Append(T element) { return Vector<T>::Append(element) ? element : nullptr; }
};

// Pointers the vector owns. An element is destroyed by the deleter, which receives the address
// of a variable holding it, or, without a deleter, by delete.
template <class T>
class pVector : public Vector<T> {
    static_assert(std::is_pointer_v<T>);

public:
    typedef void (*Deleter)(T* element);

    Deleter deleter;

    constexpr explicit pVector(Deleter deleter = nullptr) : deleter(deleter) {}
    // Last element first.
    ~pVector() {
        for (uint32_t i = this->count; i > 0; --i) {
            T* slot = this->At(i - 1);
            if (*slot)
                DestroyElement(slot);
        }
        this->Destroy();
    }

    T Append(T element) { return Vector<T>::Append(element) ? element : nullptr; }

    // The slot is null before the deleter runs, so a deleter that looks at the vector does not
    // find the element any more.
    void DestroyElement(T* slot) {
        T element = *slot;
        *slot = nullptr;
        if (deleter)
            deleter(&element);
        else if constexpr (std::is_void_v<std::remove_pointer_t<T>>)
            ::operator delete(element);
        else
            delete element;
    }
    bool DeleteAt(uint32_t index) {
        T* slot = this->At(index);
        if (!slot)
            return false;
        DestroyElement(slot);
        return this->RemoveAt(index);
    }
    bool DeleteValue(T element) {
        for (uint32_t i = 0; i < this->count; ++i) {
            if (*this->At(i) == element)
                return DeleteAt(i);
        }
        return false;
    }
};

static_assert(sizeof(void*) != 4 || sizeof(Vector<void*>) == 12, "the 32-bit layout");
static_assert(sizeof(void*) != 4 || sizeof(pVector<void*>) == 16, "the 32-bit layout");
static_assert(sizeof(Vector<str>) == sizeof(pConstVector<const void*>));
