// The profile functions on POSIX: INI files read and written with the Windows rules. Every call
// reads the file afresh, since another process may have changed it since the last call.
#include "platform/callermemory.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/errors.h"
#include "platform/posix/files_posix.h"
#include "platform/posix/paths_posix.h"
#include "platform/posix/syscalls.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::posix {
namespace {

using WideString = std::basic_string<WCHAR>;
using Text = std::optional<std::string>;  // a caller's text; none for a null pointer

// A caller's text, measured and copied with the fault-safe loops: a fault on an unreadable
// text must reach the caller as its exception.
template <typename Unit>
std::basic_string<Unit> CopyOf(const Unit* text) {
    std::basic_string<Unit> copy(TextLength(text), Unit(0));
    CopyBytes(copy.data(), text, copy.size() * sizeof(Unit));
    return copy;
}

WideString Utf16(std::string_view text) {
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    WideString wide(MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(),
                        static_cast<int>(wide.size()));
    return wide;
}

std::string Utf8(std::basic_string_view<WCHAR> wide) {
    if (wide.empty())
        return {};
    const int length = static_cast<int>(wide.size());
    std::string text(
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), static_cast<int>(text.size()),
                        nullptr, nullptr);
    return text;
}

Text TextOf(const char* text) { return text ? Text(CopyOf(text)) : std::nullopt; }

Text TextOf(const WCHAR* text) { return text ? Text(Utf8(CopyOf(text))) : std::nullopt; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Section and key names compare without regard to case; letters beyond ASCII compare exactly.
bool SameName(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// A value enclosed in a matching pair of double or single quotes loses them.
std::string_view Unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// The default of an absent key: trailing blanks go (a lone blank stays), then the quotes.
std::string_view DefaultValue(std::string_view text) {
    while (text.size() > 1 && text.back() == ' ')
        text.remove_suffix(1);
    return Unquoted(text);
}

// One line of an INI file as the rules see it. Views point into the line's text.
struct Line {
    enum Kind { Other, Comment, Header, Entry };
    Kind kind = Other;
    bool named = false;      // Header: closed by ']', so that it names a section
    std::string_view name;   // Header: the section's name; Entry: the key
    std::string_view value;  // Entry: the text after the first '='
};

Line Parse(std::string_view text) {
    Line line;
    text = Trim(text);
    if (text.empty())
        return line;
    if (text.front() == ';') {
        line.kind = Line::Comment;
        return line;
    }
    if (text.front() == '[') {
        // An unclosed header still ends the section before it; what follows it belongs to no
        // section that a name can reach.
        line.kind = Line::Header;
        const size_t close = text.find(']');
        if (close != std::string_view::npos) {
            line.named = true;
            line.name = Trim(text.substr(1, close - 1));
        }
        return line;
    }
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return line;
    line.kind = Line::Entry;
    line.name = Trim(text.substr(0, equals));
    line.value = Trim(text.substr(equals + 1));
    return line;
}

// The file's text as lines of UTF-8 without their line ends, and the form it is stored in.
struct IniText {
    enum Encoding { Ansi, Utf8WithMark, Utf16WithMark };
    Encoding encoding = Ansi;
    std::vector<std::string> lines;
};

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Mark = "\xFF\xFE";  // little-endian

// Lines end with CR LF, LF or CR alone.
IniText Decode(std::string_view bytes) {
    IniText ini;
    std::string wideText;
    std::string_view text = bytes;
    if (bytes.starts_with(kUtf16Mark)) {
        ini.encoding = IniText::Utf16WithMark;
        WideString wide;
        for (size_t i = kUtf16Mark.size(); i + 1 < bytes.size(); i += 2)
            wide.push_back(WCHAR(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8));
        wideText = Utf8(wide);
        text = wideText;
    } else if (bytes.starts_with(kUtf8Mark)) {
        ini.encoding = IniText::Utf8WithMark;
        text.remove_prefix(kUtf8Mark.size());
    }
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        ini.lines.emplace_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        ini.lines.emplace_back(text.substr(start));
    return ini;
}

// Every line ends with CR LF, whatever it ended with when read; the encoding stays.
std::string Encode(const IniText& ini) {
    std::string text;
    for (const std::string& line : ini.lines) {
        text += line;
        text += "\r\n";
    }
    switch (ini.encoding) {
        case IniText::Ansi:
            return text;
        case IniText::Utf8WithMark:
            return std::string(kUtf8Mark) + text;
        case IniText::Utf16WithMark:
            break;
    }
    std::string bytes(kUtf16Mark);
    for (WCHAR unit : Utf16(text)) {
        bytes.push_back(char(unit & 0xFF));
        bytes.push_back(char(unit >> 8));
    }
    return bytes;
}

// The lines of one section: its header and one past its last line.
struct Span {
    size_t header;
    size_t end;
};

// The first section of that name; a later one of the same name is never reached.
std::optional<Span> FindSection(const std::vector<std::string>& lines, std::string_view name) {
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line line = Parse(lines[i]);
        if (line.kind != Line::Header || !line.named || !SameName(line.name, name))
            continue;
        size_t end = i + 1;
        while (end < lines.size() && Parse(lines[end]).kind != Line::Header)
            ++end;
        return Span{i, end};
    }
    return std::nullopt;
}

// The first line of the section with that key.
std::optional<size_t> FindKey(const std::vector<std::string>& lines, Span section,
                              std::string_view key) {
    for (size_t i = section.header + 1; i < section.end; ++i) {
        const Line line = Parse(lines[i]);
        if (line.kind == Line::Entry && SameName(line.name, key))
            return i;
    }
    return std::nullopt;
}

// What a read gives before it is cut to the caller's buffer: one value, or a list of names
// each followed by a zero.
struct Answer {
    std::string text;
    bool list = false;
};

void AddToList(Answer& answer, std::string_view name) {
    answer.list = true;
    answer.text += name;
    answer.text += '\0';
}

// A null section lists the sections, a null key the keys of the section (the default when it
// has none), else the key's value or the default.
Answer Ask(const IniText& ini, const Text& section, const Text& key, const Text& defaultValue) {
    Answer answer;
    if (!section) {
        answer.list = true;
        for (const std::string& text : ini.lines) {
            const Line line = Parse(text);
            if (line.kind == Line::Header && line.named)
                AddToList(answer, line.name);
        }
        return answer;
    }
    if (const std::optional<Span> span = FindSection(ini.lines, Trim(*section))) {
        if (!key) {
            for (size_t i = span->header + 1; i < span->end; ++i) {
                const Line line = Parse(ini.lines[i]);
                if (line.kind == Line::Entry)
                    AddToList(answer, line.name);
            }
            if (answer.list)
                return answer;
        } else if (const std::optional<size_t> at = FindKey(ini.lines, *span, Trim(*key))) {
            answer.text = Unquoted(Parse(ini.lines[*at]).value);
            return answer;
        }
    }
    answer.text = DefaultValue(defaultValue ? std::string_view(*defaultValue) : "");
    return answer;
}

// The lines of a section as "key=value" (both trimmed, quotes kept) and the other lines that
// are not comments, each followed by a zero.
Answer SectionLines(const IniText& ini, const Text& section) {
    Answer answer;
    answer.list = true;
    const std::optional<Span> span =
        section ? FindSection(ini.lines, Trim(*section)) : std::nullopt;
    for (size_t i = span ? span->header + 1 : 0; span && i < span->end; ++i) {
        const Line line = Parse(ini.lines[i]);
        if (line.kind == Line::Entry)
            AddToList(answer, std::string(line.name) + '=' + std::string(line.value));
        else if (line.kind == Line::Other && !Trim(ini.lines[i]).empty())
            AddToList(answer, Trim(ini.lines[i]));
    }
    return answer;
}

// Applies one write: a null key removes the section with all its lines, a null value removes
// the key's line, else the key's line gets the value (keeping the key as the file spells it)
// or a new line goes after the last non-blank line of its section (a new section goes at the
// end of the file). False when nothing changes.
bool Edit(IniText& ini, std::string_view section, const Text& key, const Text& value) {
    std::vector<std::string>& lines = ini.lines;
    const std::optional<Span> span = FindSection(lines, section);
    if (!key) {
        if (!span)
            return false;
        lines.erase(lines.begin() + span->header, lines.begin() + span->end);
        return true;
    }
    const std::string_view name = Trim(*key);
    const std::optional<size_t> at = span ? FindKey(lines, *span, name) : std::nullopt;
    if (!value) {
        if (!at)
            return false;
        lines.erase(lines.begin() + *at);
        return true;
    }
    if (at) {
        std::string line = std::string(Parse(lines[*at]).name) + '=' + *value;
        if (line == lines[*at])
            return false;
        lines[*at] = std::move(line);
        return true;
    }
    std::string line = std::string(name) + '=' + *value;
    if (span) {
        size_t after = span->end;
        while (after > span->header + 1 && Trim(lines[after - 1]).empty())
            --after;
        lines.insert(lines.begin() + after, std::move(line));
    } else {
        lines.push_back('[' + std::string(section) + ']');
        lines.push_back(std::move(line));
    }
    return true;
}

// A file that cannot be read counts as empty, as on Windows; the last error says why.
IniText LoadForReading(const SystemPath& path) {
    std::string bytes;
    if (const int error = LoadFile(path.c_str(), bytes)) {
        path.SetLastErrorFromErrno(error);
        return {};
    }
    return Decode(bytes);
}

// Replaces the file with `bytes`: they go to a temporary file beside it, which is then renamed
// over it, so that a reader sees the old file or the new one, never a part. The temporary is
// not synced before the rename: a power failure may still lose the new text. A read-only file
// is refused, as on Windows (also to the superuser), although its directory would allow the
// rename. The new file gets
// the old one's permission bits (less the umask); a link keeps pointing at the file it names.
bool Store(const SystemPath& path, std::string_view bytes) {
    std::string target = path.c_str();
    struct stat64 status;
    if (Sys().lstat(target.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        char resolved[PATH_MAX];
        if (Sys().realpath(target.c_str(), resolved))
            target = resolved;
    }
    mode_t mode = 0666;
    if (Sys().stat(target.c_str(), &status) == 0) {
        const bool refused = S_ISDIR(status.st_mode) || IsReadOnly(status.st_mode);
        if (refused || Sys().access(target.c_str(), W_OK) != 0) {
            SetLastErrorFromErrno(refused ? EACCES : errno);
            return false;
        }
        mode = status.st_mode & 07777;
    }

    static std::atomic<unsigned> serial{0};
    std::string temporary;
    Descriptor file;
    for (int attempt = 0; !file && attempt < 100; ++attempt) {
        temporary = target + ".~" + std::to_string(GetCurrentProcessId()) + '-' +
                    std::to_string(serial.fetch_add(1, std::memory_order_relaxed));
        file = Descriptor(
            Sys().open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (!file && errno != EEXIST)
            break;
    }
    if (!file) {
        path.SetLastErrorFromErrno(errno);
        return false;
    }
    const int writeError = WriteAll(file.Get(), bytes.data(), bytes.size()).error;
    const int closeError = file.Close();
    int error = writeError ? writeError : closeError;
    if (error == 0 && Sys().rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        Sys().unlink(temporary.c_str());
        SetLastErrorFromErrno(error);
        return false;
    }
    return true;
}

// One write at a time in this process, so that no thread's change is lost to another's. Other
// processes are not excluded (Windows does not exclude them either): the last rename wins.
std::mutex gWriteLock;

BOOL Write(const SystemPath& path, const Text& section, const Text& key, const Text& value) {
    if (!path.Valid())
        return FALSE;
    if (!section) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard guard(gWriteLock);
    std::string bytes;
    if (const int error = LoadFile(path.c_str(), bytes); error != 0 && error != ENOENT) {
        path.SetLastErrorFromErrno(error);
        return FALSE;
    }
    IniText ini = Decode(bytes);
    if (!Edit(ini, Trim(*section), key, value))
        return TRUE;
    return Store(path, Encode(ini));
}

// Cuts the answer to the caller's buffer of `size` units: a value to size - 1 units and its
// zero. A list counts as cut unless it fits with its final zero and a unit to spare; then it
// is cut to size - 2 units and two zeros, and the answer size - 2 tells the caller so.
// Returns the units stored without the final zero. Plain loops, as for caller texts.
template <typename Unit>
DWORD Deliver(std::basic_string_view<Unit> text, bool list, Unit* out, DWORD size) {
    if (size == 0)
        return 0;
    size_t n = text.size();
    const bool cut = list ? n + 1 >= size : n >= size;
    if (cut)
        n = !list ? size - 1 : size >= 2 ? size - 2 : 0;
    CopyBytes(out, text.data(), n * sizeof(Unit));
    out[n] = 0;
    if (cut && list && size >= 2)
        out[n + 1] = 0;
    return static_cast<DWORD>(n);
}

DWORD Deliver(const Answer& answer, char* out, DWORD size) {
    return Deliver<char>(answer.text, answer.list, out, size);
}

DWORD Deliver(const Answer& answer, WCHAR* out, DWORD size) {
    return Deliver<WCHAR>(Utf16(answer.text), answer.list, out, size);
}

// "12", "-5", "+7", "0x1f" (lower-case x only); digits stop at the first other character and
// the number wraps at 32 bits.
UINT NumberOf(std::string_view text) {
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        ++i;
    UINT value = 0;
    if (text.substr(i, 2) == "0x") {
        for (i += 2; i < text.size(); ++i) {
            const char c = text[i];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0)
                break;
            value = value * 16 + UINT(digit);
        }
    } else {
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            value = value * 10 + UINT(text[i] - '0');
    }
    return negative ? 0u - value : value;
}

// A null file name is "win.ini"; a name without a directory stays relative: the current
// directory's file.
template <typename Unit>
const Unit* FileName(const Unit* name) {
    static constexpr Unit kDefault[] = {'w', 'i', 'n', '.', 'i', 'n', 'i', 0};
    return name ? name : kDefault;
}

template <typename Unit>
DWORD GetString(const Unit* section, const Unit* key, const Unit* defaultValue, Unit* out,
                DWORD size, const Unit* fileName) {
    return UnlessOutOfMemory(DWORD(0), [&] {
        const Text sectionText = TextOf(section), keyText = TextOf(key);
        const Text defaultText = TextOf(defaultValue);
        const SystemPath path(FileName(fileName));
        const IniText ini = path.Valid() ? LoadForReading(path) : IniText();
        return Deliver(Ask(ini, sectionText, keyText, defaultText), out, size);
    });
}

template <typename Unit>
BOOL WriteString(const Unit* section, const Unit* key, const Unit* value, const Unit* fileName) {
    return UnlessOutOfMemory(BOOL(FALSE), [&] {
        const Text sectionText = TextOf(section), keyText = TextOf(key), valueText = TextOf(value);
        return Write(SystemPath(FileName(fileName)), sectionText, keyText, valueText);
    });
}

}  // namespace
}  // namespace tarn::posix

using namespace tarn::posix;

DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR out,
                                      DWORD size, LPCSTR fileName) {
    return GetString(section, key, defaultValue, out, size, fileName);
}

DWORD WINAPI GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue,
                                      LPWSTR out, DWORD size, LPCWSTR fileName) {
    return GetString(section, key, defaultValue, out, size, fileName);
}

BOOL WINAPI WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
    return WriteString(section, key, value, fileName);
}

BOOL WINAPI WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value,
                                       LPCWSTR fileName) {
    return WriteString(section, key, value, fileName);
}

UINT WINAPI GetPrivateProfileIntA(LPCSTR section, LPCSTR key, int defaultValue, LPCSTR fileName) {
    return UnlessOutOfMemory(UINT(defaultValue), [&] {
        if (!section || !key)
            return UINT(defaultValue);
        const Text sectionText = TextOf(section), keyText = TextOf(key);
        const SystemPath path(FileName(fileName));
        const IniText ini = path.Valid() ? LoadForReading(path) : IniText();
        const std::string value = Ask(ini, sectionText, keyText, std::string()).text;
        return value.empty() ? UINT(defaultValue) : NumberOf(value);
    });
}

DWORD WINAPI GetPrivateProfileSectionA(LPCSTR section, LPSTR out, DWORD size, LPCSTR fileName) {
    return UnlessOutOfMemory(DWORD(0), [&] {
        const Text sectionText = TextOf(section);
        const SystemPath path(FileName(fileName));
        const IniText ini = path.Valid() ? LoadForReading(path) : IniText();
        return Deliver(SectionLines(ini, sectionText), out, size);
    });
}
