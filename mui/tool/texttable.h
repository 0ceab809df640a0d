// The language-pack tool's model of a text table: numbered texts read from the translators'
// sources (a tab-separated text file or a gettext catalogue) and written as a ".mui" table, and
// a table read back. Every problem is reported as "file:line: message".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarn::mui {

struct Text {
    uint32_t id;
    std::string text;
    std::string file;  // where it came from, for messages
    int line;
};

// Problems found while reading; reading goes on after one, so that all are reported at once.
struct Problems {
    std::vector<std::string> messages;
    void Add(const std::string& file, int line, const std::string& message);
    bool Empty() const { return messages.empty(); }
};

// "id<TAB>text" lines; "\t", "\n", "\r" and "\\" stand for a tab, line breaks and a
// backslash; blank lines and lines beginning with '#' are comments.
void ReadSource(const std::string& file, const std::string& content, std::vector<Text>& texts,
                Problems& problems);
// A gettext catalogue whose entries carry their number in msgctxt. An entry's text is its
// msgstr, or its msgid when it is untranslated or fuzzy; the header and obsolete entries are
// left out.
void ReadCatalogue(const std::string& file, const std::string& content, std::vector<Text>& texts,
                   Problems& problems);
// Reads the file by its extension (".po": a catalogue, else a source).
void ReadInput(const std::string& file, std::vector<Text>& texts, Problems& problems);
// Reports identifiers given twice.
void CheckUnique(const std::vector<Text>& texts, Problems& problems);

// The bytes of a ".mui" table: each text's identifier (32 bits, little-endian), the text and
// a zero. A text holding a zero byte cannot be stored: it is a problem of its source.
std::string TableBytes(const std::vector<Text>& texts);
// The texts of a ".mui" table in their order; a last text without its zero is a problem.
std::vector<Text> ReadTable(const std::string& file, const std::string& bytes, Problems& problems);
// The texts as a source, sorted by identifier.
std::string SourceOf(std::vector<Text> texts);

// "langid.cfg": UTF-16 little-endian with a byte-order mark, the identifier and the display
// name (given in UTF-8) each followed by CR LF.
std::string DescriptionBytes(uint32_t id, const std::string& name);
// The identifier and name (in UTF-8) of a "langid.cfg"; false when it is not one.
bool ReadDescription(const std::string& bytes, uint32_t& id, std::string& name);

// The printf conversions of a text, in order ("%-5s %lu%%" gives "s lu").
std::string Conversions(const std::string& text);

std::string ReadFile(const std::string& file, bool& ok);
bool WriteFile(const std::string& file, const std::string& bytes);

}  // namespace tarn::mui
