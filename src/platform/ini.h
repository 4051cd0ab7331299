// The one reader of the ini texts the library is set up with: its configuration file, the
// registry stand-in and the CryptoAPI stand-in's directory. It splits a text into lines and
// sections alike for all three, with no bound on a line's length:
//   - a line ends at LF, CR LF or a lone CR; a UTF-8 byte-order mark opening the text is skipped
//     (editors on Windows write both);
//   [section]            a name in brackets; blanks around it dropped; an empty name is an error
//   key = value          key and value with the blanks around them dropped
//   ; text, # text       comment lines
// Any other line is an error, and a text with one (or with a NUL byte) is not read at all: a line
// lost to a typing error must not quietly drop what it set, or move the lines after it into
// another section. Each file keeps the rules it has always been read by (IniDialect); what a
// value means (quotes, which of several equal keys counts) is up to the reader of each file, and
// get() gives the configuration file's rules.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace platform {

struct IniDialect {
    // A value line ending in a backslash goes on in the next line. Comments never do, whole
    // lines or after a value: a commented-out Windows path must not swallow the key after it.
    bool continued_values = false;
    // A '#' anywhere ends the line's text, section lines included.
    bool hash_ends_text = false;
    // A key line before the first section line is an error: nothing could ever read it. Where
    // false, such lines are kept in the unnamed section, which no look-up names.
    bool keys_need_section = false;
    // A section's name runs to the last ']' of its line (else to the first).
    bool name_to_last_bracket = false;
};

// The configuration file, in the dialect it has always been written in (iniparser's).
inline constexpr IniDialect kConfigDialect{true, false, true, false};
// The registry stand-in: values are data, taken as written.
inline constexpr IniDialect kRegistryDialect{false, false, false, true};
// The CryptoAPI stand-in's directory, whose comments may follow a line's text.
inline constexpr IniDialect kCapiDialect{false, true, false, true};

class Ini {
  public:
    struct Section {
        std::string name;  // as written; "" for the lines before the first section line
        // Keys and values as written (a value with its quotes and trailing comment), in order.
        std::vector<std::pair<std::string, std::string>> entries;
    };

    // The sections of text, or none with the number (from 1) of the line not understood.
    [[nodiscard]] static std::optional<Ini> parse(std::string_view text, int& bad_line,
                                                  const IniDialect& dialect = kConfigDialect);

    // Every section in the order written, the unnamed one first; a name may come again.
    const std::vector<Section>& sections() const { return sections_; }

    // The value of "section:key" by the configuration file's rules: names match without regard
    // to case, the last of several counts, and the value is value_text() of what is written.
    [[nodiscard]] std::optional<std::string> get(std::string_view section_key) const;
    // Every "section:key" (in lower case) with its value, as get() gives them.
    std::map<std::string, std::string> values() const;

    // A value as the configuration file means it: in double or single quotes, what stands up to
    // the closing quote (at least one character inside; a missing closing quote ends it at the
    // end); otherwise up to a ';' or '#', blanks dropped; a pair of quotes alone is empty.
    static std::string value_text(std::string_view written);

  private:
    std::vector<Section> sections_;
};

// Names of sections and keys compare in the C locale without regard to case.
[[nodiscard]] bool ini_names_equal(std::string_view a, std::string_view b);

// A text file read and parsed whole. Only a regular file is read: a FIFO or device is refused
// without being opened, and a larger file than the limit is not read into memory.
struct IniFileRead {
    bool missing = false;  // no directory entry at all (a dangling link is there, and unreadable)
    bool not_regular = false;  // a directory, FIFO, device or socket in the file's place
    int error = 0;             // errno of a file that is there but could not be read
    int bad_line = 0;          // the line not understood, when the text was read
    std::optional<Ini> ini;
    std::string text;  // the bytes read, when they could be
    // The file as it was read, when it held still meanwhile: the same before and after the read,
    // and still the file its name stands for. None when it changed (or was replaced) under the
    // read.
    std::optional<FileStamp> stamp;
};
inline constexpr size_t kIniFileMax = size_t{1} << 20;
[[nodiscard]] IniFileRead read_ini_file(const std::string& path,
                                        const IniDialect& dialect = kConfigDialect,
                                        size_t limit = kIniFileMax);

}  // namespace platform
