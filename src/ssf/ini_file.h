// The configuration file's syntax: the ini dialect the library has always been configured in,
// read here line by line with no bound on a line's length.
//   [section]            a name in brackets; blanks around it dropped
//   key = value          the value up to a ';' or '#', blanks around it dropped;
//   key = "value"        in double or single quotes, taken as it stands up to the closing quote
//   ; text, # text       comments
// A line that ends in a backslash goes on in the next one. Section and key names are matched
// without regard to case. Any other line is a syntax error, and a file with one is not read at
// all: a key lost to a typing error must not quietly switch a check off.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace ssf {

class IniFile {
  public:
    // The entries of text, or none with the number (from 1) of the line that is not understood.
    [[nodiscard]] static std::optional<IniFile> parse(std::string_view text, int& bad_line);

    // The value of "section:key", or none.
    [[nodiscard]] std::optional<std::string> get(std::string_view section_key) const;

    // "section:key" in lower case, and the value.
    const std::map<std::string, std::string>& entries() const { return values_; }

  private:
    bool take_line(std::string_view line);

    std::map<std::string, std::string> values_;
    std::string section_;
};

}  // namespace ssf
