#include "mui/tool/texttable.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tarn::mui {
namespace {

// The lines of a text without their ends (LF or CR LF), after a UTF-8 byte-order mark.
std::vector<std::string> Lines(const std::string& content) {
    std::vector<std::string> lines;
    size_t at = content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (at < content.size()) {
        size_t end = content.find('\n', at);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

bool ParseNumber(const std::string& text, uint32_t& number) {
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + uint64_t(c - '0');
    }
    number = uint32_t(value);
    return value <= UINT32_MAX;
}

// Undoes the source's escapes; false for an unknown one.
bool Unescape(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
            case 't':
                out += '\t';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                return false;
        }
    }
    return true;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// The contents of a catalogue's quoted string with its C escapes undone; false when it is not
// one.
bool ParseQuoted(const std::string& text, std::string& out) {
    size_t begin = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    if (begin == std::string::npos || text[begin] != '"' || end == begin || text[end] != '"')
        return false;
    out.clear();
    for (size_t i = begin + 1; i < end; ++i) {
        char c = text[i];
        if (c == '"')
            return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == end)
            return false;
        c = text[i];
        const char* simple = "n\nt\tr\ra\ab\bf\fv\v\\\\\"\"''";
        const char* found = nullptr;
        for (const char* p = simple; *p; p += 2)
            if (*p == c)
                found = p;
        if (found) {
            out += found[1];
        } else if (c >= '0' && c <= '7') {
            int value = 0;
            for (int n = 0; n < 3 && i < end && text[i] >= '0' && text[i] <= '7'; ++n, ++i)
                value = value * 8 + (text[i] - '0');
            --i;
            out += char(value);
        } else if (c == 'x') {
            int value = 0, digits = 0;
            while (i + 1 < end && isxdigit(static_cast<unsigned char>(text[i + 1]))) {
                const char d = text[++i];
                value = value * 16 +
                        (isdigit(static_cast<unsigned char>(d)) ? d - '0' : (d | 0x20) - 'a' + 10);
                ++digits;
            }
            if (!digits)
                return false;
            out += char(value);
        } else {
            return false;
        }
    }
    return true;
}

void AppendUtf16(std::string& out, uint32_t unit) {
    out += char(unit & 0xFF);
    out += char(unit >> 8);
}

}  // namespace

void Problems::Add(const std::string& file, int line, const std::string& message) {
    messages.push_back(file + (line ? ":" + std::to_string(line) : std::string()) + ": " + message);
}

void ReadSource(const std::string& file, const std::string& content, std::vector<Text>& texts,
                Problems& problems) {
    const std::vector<std::string> lines = Lines(content);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const int number = int(i + 1);
        if (line.empty() || line[0] == '#')
            continue;
        const size_t tab = line.find('\t');
        Text text{0, {}, file, number};
        if (tab == std::string::npos) {
            problems.Add(file, number, "expected an identifier, a tab and the text");
        } else if (!ParseNumber(line.substr(0, tab), text.id)) {
            problems.Add(file, number,
                         "the identifier \"" + line.substr(0, tab) +
                             "\" is not a number from 0 to 4294967295");
        } else if (!Unescape(line.substr(tab + 1), text.text)) {
            problems.Add(file, number, "unknown escape; use \\t, \\n, \\r or \\\\");
        } else {
            texts.push_back(text);
        }
    }
}

void ReadCatalogue(const std::string& file, const std::string& content, std::vector<Text>& texts,
                   Problems& problems) {
    struct Entry {
        int line = 0;
        bool fuzzy = false, hasContext = false, hasId = false;
        std::string context, id, translation;
    } entry;
    std::string* continued = nullptr;
    auto finish = [&] {
        if (entry.hasId) {
            uint32_t number = 0;
            if (!entry.hasContext) {
                if (!entry.id.empty())
                    problems.Add(file, entry.line, "an entry without msgctxt and its number");
            } else if (!ParseNumber(entry.context, number)) {
                problems.Add(
                    file, entry.line,
                    "msgctxt \"" + entry.context + "\" is not a number from 0 to 4294967295");
            } else {
                const bool translated = !entry.fuzzy && !entry.translation.empty();
                texts.push_back(
                    {number, translated ? entry.translation : entry.id, file, entry.line});
            }
        }
        entry = Entry();
        continued = nullptr;
    };
    const std::vector<std::string> lines = Lines(content);
    bool sawTranslation = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const int number = int(i + 1);
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos) {
            finish();
            sawTranslation = false;
            continue;
        }
        if (line[first] == '#') {
            if (line.compare(first, 2, "#,") == 0 && line.find("fuzzy") != std::string::npos)
                entry.fuzzy = true;
            continue;
        }
        std::string value;
        if (line[first] == '"') {
            if (!continued || !ParseQuoted(line, value)) {
                problems.Add(file, number, "a string where none can continue");
                continue;
            }
            *continued += value;
            continue;
        }
        const size_t space = line.find_first_of(" \t", first);
        const std::string keyword = line.substr(first, space - first);
        if (space == std::string::npos || !ParseQuoted(line.substr(space), value)) {
            problems.Add(file, number, "expected a keyword and a quoted string");
            continued = nullptr;
            continue;
        }
        // A new entry begins without a blank line when the previous one had its msgstr.
        if ((keyword == "msgctxt" || keyword == "msgid") && sawTranslation) {
            const bool fuzzy = entry.fuzzy;
            finish();
            entry.fuzzy = fuzzy;
            sawTranslation = false;
        }
        if (!entry.line)
            entry.line = number;
        if (keyword == "msgctxt") {
            entry.hasContext = true;
            entry.context = value;
            continued = &entry.context;
        } else if (keyword == "msgid") {
            entry.hasId = true;
            entry.id = value;
            continued = &entry.id;
        } else if (keyword == "msgid_plural") {
            continued = nullptr;
        } else if (keyword == "msgstr" || keyword == "msgstr[0]") {
            entry.translation = value;
            continued = &entry.translation;
            sawTranslation = true;
        } else if (keyword.rfind("msgstr[", 0) == 0) {
            continued = nullptr;
            sawTranslation = true;
        } else {
            problems.Add(file, number, "unknown keyword \"" + keyword + "\"");
            continued = nullptr;
        }
    }
    finish();
}

std::string ReadFile(const std::string& file, bool& ok) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    ok = bool(in) || in.eof();
    ok = ok && in.is_open();
    return content.str();
}

bool WriteFile(const std::string& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(out.flush());
}

void ReadInput(const std::string& file, std::vector<Text>& texts, Problems& problems) {
    bool ok = false;
    const std::string content = ReadFile(file, ok);
    if (!ok) {
        problems.Add(file, 0, "cannot be read");
        return;
    }
    const bool catalogue = file.size() > 3 && file.compare(file.size() - 3, 3, ".po") == 0;
    (catalogue ? ReadCatalogue : ReadSource)(file, content, texts, problems);
}

void CheckUnique(const std::vector<Text>& texts, Problems& problems) {
    std::vector<const Text*> sorted;
    for (const Text& text : texts)
        sorted.push_back(&text);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Text* a, const Text* b) { return a->id < b->id; });
    for (size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i]->id == sorted[i - 1]->id)
            problems.Add(sorted[i]->file, sorted[i]->line,
                         "identifier " + std::to_string(sorted[i]->id) + " is also at " +
                             sorted[i - 1]->file + ":" + std::to_string(sorted[i - 1]->line));
    }
    for (const Text& text : texts) {
        if (text.text.find('\0') != std::string::npos)
            problems.Add(text.file, text.line, "a text cannot hold a zero byte");
    }
}

std::string TableBytes(const std::vector<Text>& texts) {
    std::string bytes;
    for (const Text& text : texts) {
        for (int i = 0; i < 4; ++i)
            bytes += char(text.id >> (8 * i));
        bytes += text.text;
        bytes += '\0';
    }
    return bytes;
}

std::vector<Text> ReadTable(const std::string& file, const std::string& bytes, Problems& problems) {
    std::vector<Text> texts;
    size_t at = 0;
    for (int record = 1; bytes.size() - at >= 5; ++record) {
        uint32_t id = 0;
        for (int i = 0; i < 4; ++i)
            id |= uint32_t(static_cast<unsigned char>(bytes[at + size_t(i)])) << (8 * i);
        const size_t end = bytes.find('\0', at + 4);
        if (end == std::string::npos) {
            problems.Add(file, 0,
                         "the text of record " + std::to_string(record) + " (identifier " +
                             std::to_string(id) + ") has no terminating zero");
            texts.push_back({id, bytes.substr(at + 4), file, record});
            return texts;
        }
        texts.push_back({id, bytes.substr(at + 4, end - at - 4), file, record});
        at = end + 1;
    }
    if (at != bytes.size())
        problems.Add(
            file, 0,
            std::to_string(bytes.size() - at) + " bytes at the end are too few for a record");
    return texts;
}

std::string SourceOf(std::vector<Text> texts) {
    std::stable_sort(texts.begin(), texts.end(),
                     [](const Text& a, const Text& b) { return a.id < b.id; });
    std::string source;
    for (const Text& text : texts)
        source += std::to_string(text.id) + "\t" + Escape(text.text) + "\n";
    return source;
}

std::string DescriptionBytes(uint32_t id, const std::string& name) {
    std::string bytes = "\xFF\xFE";
    for (char c : std::to_string(id) + "\r\n")
        AppendUtf16(bytes, uint32_t(c));
    for (size_t i = 0; i < name.size();) {
        const auto lead = static_cast<unsigned char>(name[i]);
        const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        uint32_t code = extra ? lead & (0x3F >> extra) : lead;
        for (int k = 1; k <= extra && i + size_t(k) < name.size(); ++k)
            code = code << 6 | (static_cast<unsigned char>(name[i + size_t(k)]) & 0x3F);
        i += size_t(extra) + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            AppendUtf16(bytes, 0xD800 | (code >> 10));
            AppendUtf16(bytes, 0xDC00 | (code & 0x3FF));
        } else {
            AppendUtf16(bytes, code);
        }
    }
    AppendUtf16(bytes, '\r');
    AppendUtf16(bytes, '\n');
    return bytes;
}

bool ReadDescription(const std::string& bytes, uint32_t& id, std::string& name) {
    std::vector<uint32_t> units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        units.push_back(uint32_t(static_cast<unsigned char>(bytes[i])) |
                        uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8);
    size_t at = !units.empty() && (units[0] < '0' || units[0] > '9') ? 1 : 0;
    if (at >= units.size() || units[at] < '0' || units[at] > '9')
        return false;
    uint64_t value = 0;
    for (; at < units.size() && units[at] >= '0' && units[at] <= '9'; ++at)
        value = value * 10 + (units[at] - '0');
    id = uint32_t(value);
    while (at < units.size() && units[at] != '\r' && units[at] != '\n')
        ++at;
    if (at == units.size())
        return false;
    while (at < units.size() && (units[at] == '\r' || units[at] == '\n'))
        ++at;
    name.clear();
    for (; at < units.size() && units[at] != '\r' && units[at] != '\n' && units[at]; ++at) {
        uint32_t code = units[at];
        if (code >= 0xD800 && code < 0xDC00 && at + 1 < units.size()) {
            code = 0x10000 + ((code - 0xD800) << 10) + (units[++at] - 0xDC00);
        }
        if (code < 0x80) {
            name += char(code);
        } else if (code < 0x800) {
            name += char(0xC0 | code >> 6);
            name += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            name += char(0xE0 | code >> 12);
            name += char(0x80 | (code >> 6 & 0x3F));
            name += char(0x80 | (code & 0x3F));
        } else {
            name += char(0xF0 | code >> 18);
            name += char(0x80 | (code >> 12 & 0x3F));
            name += char(0x80 | (code >> 6 & 0x3F));
            name += char(0x80 | (code & 0x3F));
        }
    }
    return true;
}

std::string Conversions(const std::string& text) {
    std::string found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%')
            continue;
        if (i + 1 < text.size() && text[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < text.size() && strchr("-+ #0123456789.*'", text[j]))
            ++j;
        size_t conversion = j;
        while (conversion < text.size() && strchr("hlLqjzt", text[conversion]))
            ++conversion;
        if (!found.empty())
            found += ' ';
        found += text.substr(j, conversion + 1 - j);
        i = conversion;
    }
    return found;
}

}  // namespace tarn::mui
