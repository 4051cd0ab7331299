// The one reader of the ini texts the library is set up with: its configuration file, the
// registry stand-in and the CryptoAPI stand-in's directory. The syntax is the dialect the
// configuration has always been written in, read line by line with no bound on a line's length:
//   [section]            a name in brackets; blanks around it dropped; an empty name is an error
//   key = value          key and value with the blanks around them dropped
//   ; text, # text       comments
// A line that ends in a backslash goes on in the next one. Any other line is an error, and a text
// with one (or with a NUL byte) is not read at all: a line lost to a typing error must not
// quietly drop what it set, or move the lines after it into another section.
// What a value means (quotes, comments after it, which of several equal keys counts) is up to
// the reader of each file; get() gives the configuration file's rules.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

class Ini {
  public:
    struct Section {
        std::string name;  // as written; "" for the lines before the first section line
        // Keys and values as written (a value with its quotes and trailing comment), in order.
        std::vector<std::pair<std::string, std::string>> entries;
    };

    // The sections of text, or none with the number (from 1) of the line not understood.
    [[nodiscard]] static std::optional<Ini> parse(std::string_view text, int& bad_line);

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
    int error = 0;         // errno of a file that is there but could not be read
    int bad_line = 0;      // the line not understood, when the text was read
    std::optional<Ini> ini;
};
inline constexpr size_t kIniFileMax = size_t{1} << 20;
[[nodiscard]] IniFileRead read_ini_file(const std::string& path, size_t limit = kIniFileMax);

}  // namespace platform
