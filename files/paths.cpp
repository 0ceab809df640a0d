// Path names: splitting, checking and joining 8-bit paths whose only separator is the
// backslash, and the names derived from modules, full paths and file attributes.
#include "tarnkernl/files.h"

#include "files/pathtext.h"
#include "platform/callermemory.h"
#include "platform/win32.h"

namespace {

// The texts StrictPath points to when a path has no directory or extension. Callers receive
// them as char*, so they are writable; nothing of the library writes into them.
char gNoText[1];
char gRootText[2] = "\\";

// Where the separators of a path stand; -1 where there is none.
struct PathMarks {
    int length = 0;
    int lastBackslash = -1;
    int lastColon = -1;
    int lastDot = -1;
};

// The loops below read caller texts under ReadGuarded. Their reads are volatile so that the
// compiler cannot turn them into the C library's string functions, whose faults end the process.

[[gnu::noinline]] PathMarks ScanPath(const volatile char* path) {
    PathMarks marks;
    for (int i = 0; path[i]; ++i) {
        switch (path[i]) {
            case '\\':
                marks.lastBackslash = i;
                break;
            case ':':
                marks.lastColon = i;
                break;
            case '.':
                marks.lastDot = i;
                break;
        }
        marks.length = i + 1;
    }
    return marks;
}

PathMarks MarksOf(const char* path) {
    if (!path)
        return {};
    return tarn::ReadGuarded(PathMarks{}, [path] { return ScanPath(path); });
}

struct PathParts {
    char* dir;
    char* name;
    char* ext;
};

[[gnu::noinline]] PathParts SplitInPlace(char* path) {
    volatile char* text = path;
    int i = 0;
    while (text[i])
        ++i;
    PathParts parts{path, nullptr, gNoText};
    // A dot met before any backslash separates the extension; a backslash ends that search.
    for (--i; i >= 0; --i) {
        if (text[i] == '\\')
            break;
        if (text[i] == '.') {
            text[i] = 0;
            parts.ext = path + i + 1;
            --i;
            break;
        }
    }
    // A backslash at index 0 is the root, not a separator between directory and name.
    for (; i >= 1; --i) {
        if (text[i] == '\\') {
            text[i] = 0;
            parts.name = path + i + 1;
            return parts;
        }
    }
    if (text[0] == '\\') {
        parts.dir = gRootText;
        parts.name = path + 1;
    } else {
        parts.dir = gNoText;
        parts.name = path;
    }
    return parts;
}

struct NameSpan {
    const char* begin = nullptr;
    const char* end = nullptr;
};

[[gnu::noinline]] NameSpan FindName(const volatile char* line) {
    NameSpan span;
    while (*line == ' ')
        ++line;
    if (*line == 0)
        return span;
    char stop = ' ';
    if (*line == '"') {
        stop = '"';
        ++line;
    }
    span.begin = const_cast<const char*>(line);
    while (*line && *line != stop)
        ++line;
    // A quoted name needs its closing quote; an unquoted one ends at a blank or the end.
    if (*line == stop || stop == ' ')
        span.end = const_cast<const char*>(line);
    return span;
}

[[gnu::noinline]] bool ValidName(const volatile char* name) {
    if (!*name)
        return false;
    for (; *name; ++name) {
        unsigned char c = *name;
        if (c < 32)
            return false;
        switch (c) {
            case '\\':
            case '/':
            case ':':
            case '*':
            case '?':
            case '<':
            case '>':
            case '"':
            case '|':
                return false;
        }
    }
    return true;
}

// The length of the drive ("C:") or share root ("\\server\share") at the start of a path.
[[gnu::noinline]] int DriveLength(const volatile char* path) {
    if (path[0] == '\\' && path[1] == '\\') {
        int i = 2;
        while (path[i] && path[i] != '\\')
            ++i;
        if (path[i]) {
            ++i;
            while (path[i] && path[i] != '\\')
                ++i;
        }
        return i;
    }
    for (int i = 0; path[i]; ++i) {
        if (path[i] == ':')
            return i + 1;
    }
    return 0;
}

[[gnu::noinline]] int ReadFirst(const volatile char* text) {
    return static_cast<unsigned char>(*text);
}

// The joined path so far: its text is always terminated where writing stands, so a join cut
// short by a fault still leaves a whole text.
class PathWriter {
public:
    PathWriter(char* block, char* limit) : start_(block), end_(block), limit_(limit) {}

    // Appends one part by the join rules: one backslash between parts, none where either side
    // brings one, none before or after an empty part, and a part that begins with a dot
    // replacing the extension of the text so far.
    void Add(const volatile char* part) {
        char first = *part;
        char* from = end_;
        bool endsWithBackslash = end_ > start_ && end_[-1] == '\\';
        if (end_ == start_ || endsWithBackslash || first == 0 || first == '\\' || first == '.') {
            if (endsWithBackslash && first == '\\')
                CutTo(end_ - 1);
            else if (first == '.' && lastDot_ && (!lastBackslash_ || lastDot_ > lastBackslash_))
                CutTo(lastDot_);
        } else {
            Put('\\');
        }
        while (*part && end_ < limit_)
            Put(*part++);
        for (; from < end_; ++from) {
            if (*from == '\\')
                lastBackslash_ = from;
            else if (*from == '.')
                lastDot_ = from;
        }
    }

private:
    void Put(char c) {
        if (end_ < limit_) {
            *end_++ = c;
            *end_ = 0;
        }
    }
    // Only characters that the next part rewrites with the same character (a backslash, the
    // extension's dot) are stepped back over, so the marks stay valid.
    void CutTo(char* position) {
        for (char* c = position; c < end_; ++c)
            *c = 0;
        end_ = position;
    }

    char* start_;
    char* end_;
    char* limit_;
    char* lastBackslash_ = nullptr;
    char* lastDot_ = nullptr;
};

[[gnu::noinline]] void JoinPath(PathWriter& writer, const char* const* parts, int count) {
    for (int i = 0; i < count; ++i)
        writer.Add(parts[i]);
}

// Module names of up to 260 characters fit at the first try; longer ones double the room.
void ReadModuleFileName(str& name, HINSTANCE module) {
    if (!module)
        module = GetModuleHandleA(nullptr);
    for (DWORD size = MAX_PATH + 1;; size *= 2) {
        if (!name.Alloc(static_cast<int>(size)))
            return;
        DWORD length = GetModuleFileNameA(module, name.p, size);
        name.p[size - 1] = 0;
        if (length == 0) {
            name.Clear();
            return;
        }
        if (length < size)
            return;
    }
}

char* LastOf(const str& text, char c) { return text.p ? strrchr(text.p, c) : nullptr; }

}  // namespace

namespace tarn {

int FirstChar(const char* text) {
    return text ? ReadGuarded(-1, [text] { return ReadFirst(text); }) : -1;
}

bool StartsWith(const char* text, const char* prefix) {
    return text && ReadGuarded(false, [text, prefix] { return BeginsWithText(text, prefix); });
}

}  // namespace tarn

int GetExtPointPos(const char* path) {
    PathMarks marks = MarksOf(path);
    return marks.lastDot > marks.lastBackslash ? marks.lastDot : marks.length;
}

int GetFileNamePos(const char* path) {
    PathMarks marks = MarksOf(path);
    return (marks.lastBackslash > marks.lastColon ? marks.lastBackslash : marks.lastColon) + 1;
}

void StrictPath(char* path, char*& dir, char*& name, char*& ext) {
    PathParts empty{gNoText, gNoText, gNoText};
    PathParts parts =
        path ? tarn::ReadGuarded(empty, [path] { return SplitInPlace(path); }) : empty;
    dir = parts.dir;
    name = parts.name;
    ext = parts.ext;
}

bool FindFileName(const char* line, const char*& begin, const char*& end) {
    NameSpan span =
        line ? tarn::ReadGuarded(NameSpan{}, [line] { return FindName(line); }) : NameSpan{};
    if (span.begin)
        begin = span.begin;
    if (!span.end)
        return false;
    end = span.end;
    return true;
}

bool IsValidFileName(const char* name) {
    return name && tarn::ReadGuarded(false, [name] { return ValidName(name); });
}

SplitDrive::SplitDrive(const char* path) {
    int length = path ? tarn::ReadGuarded(0, [path] { return DriveLength(path); }) : 0;
    if (length > 0)
        AssignN(path, length);
}

const char* TFileName::Make(const char* first, const char* second, const char* third,
                            const char* fourth, ...) {
    if (third && !second)
        second = "";
    if (second && !first)
        first = "";
    const char* parts[] = {first, second, third, fourth, nullptr};
    int count;
    int total = CalcLen(parts, &count);
    // The old text goes only when the join is done, since a part may point into it.
    str old;
    std::swap(p, old.p);
    // Room for a separator in front of every part.
    p = static_cast<char*>(calloc(1, static_cast<size_t>(total) + 2 + count));
    if (p) {
        PathWriter writer(p, p + total + count);
        tarn::ReadGuarded(0, [&] {
            JoinPath(writer, parts, count);
            return 0;
        });
    }
    return p;
}

TFullName::TFullName(const char* name) {
    unsigned long size = UNI_GetFullPathName(name, 0, nullptr, nullptr);
    if (size == 0)
        return;
    size += 16;
    if (!Alloc(static_cast<int>(size)))
        return;
    // The current directory may have changed since the size was asked.
    unsigned long length = UNI_GetFullPathName(name, size, p, nullptr);
    if (length == 0 || length >= size)
        Clear();
}

TModuleName::TModuleName(HINSTANCE module) { ReadModuleFileName(*this, module); }

TModuleNameNoPath::TModuleNameNoPath(HINSTANCE module) {
    ReadModuleFileName(*this, module);
    if (char* backslash = LastOf(*this, '\\'))
        memmove(p, backslash + 1, strlen(backslash + 1) + 1);
}

TModuleNameNoPathExt::TModuleNameNoPathExt(HINSTANCE module) {
    TModuleNameNoPath name(module);
    std::swap(p, name.p);
    if (char* dot = LastOf(*this, '.'))
        *dot = 0;
}

TModuleDir::TModuleDir(HINSTANCE module) {
    ReadModuleFileName(*this, module);
    if (char* backslash = LastOf(*this, '\\'))
        *backslash = 0;
}

TFileDir::TFileDir(const char* path) {
    int length = GetFileNamePos(path);
    if (length > 0)
        AssignN(path, length);
}

bool existfile(const char* name) {
    unsigned long attributes = UNI_GetFileAttributes(name);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool existdirectory(const char* name) {
    if (!name || tarn::FirstChar(name) == 0)
        name = ".";
    unsigned long attributes = UNI_GetFileAttributes(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool writablefile(const char* name) {
    unsigned long attributes = UNI_GetFileAttributes(name);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        attributes = UNI_GetFileAttributes(TFileDir(name));
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY);
}
