#include "ssf/ini_file.h"

namespace ssf {

namespace {

// The C locale's white space and case: configuration files written for the library in any
// locale mean the same.
bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view strip(std::string_view s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// What follows "key =" and its blanks. A quoted value needs at least one character inside its
// quotes and may lack the closing one; a pair of quotes alone is the empty value.
std::string value_of(std::string_view rest) {
    for (const char quote : {'"', '\''}) {
        if (rest.size() > 1 && rest[0] == quote && rest[1] != quote) {
            rest.remove_prefix(1);
            return std::string(rest.substr(0, rest.find(quote)));
        }
    }
    const std::string_view v = strip(rest.substr(0, rest.find_first_of(";#")));
    if (v == "\"\"" || v == "''") return std::string();
    return std::string(v);
}

}  // namespace

std::optional<IniFile> IniFile::parse(std::string_view text, int& bad_line) {
    IniFile ini;
    std::string logical;  // the physical lines joined by their trailing backslashes
    int number = 0;
    bool goes_on = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view physical = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (physical.find('\0') != std::string_view::npos) {
            bad_line = number;
            return std::nullopt;
        }
        logical.append(physical);
        while (!logical.empty() && blank(logical.back())) logical.pop_back();
        goes_on = !logical.empty() && logical.back() == '\\';
        if (goes_on) {
            logical.pop_back();
            continue;
        }
        if (!ini.take_line(strip(logical))) {
            bad_line = number;
            return std::nullopt;
        }
        logical.clear();
    }
    // A last line that announces another which never comes is not taken as complete.
    if (goes_on) {
        bad_line = number;
        return std::nullopt;
    }
    return ini;
}

bool IniFile::take_line(std::string_view line) {
    if (line.empty() || line.front() == ';' || line.front() == '#') return true;
    if (line.front() == '[' && line.back() == ']') {
        // "[]" names no section: the lines after it stay in the one before.
        const size_t close = line.find(']');
        if (close > 1) section_ = lower(strip(line.substr(1, close - 1)));
        return true;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    values_[section_ + ":" + lower(strip(line.substr(0, eq)))] =
        value_of(strip(line.substr(eq + 1)));
    return true;
}

std::optional<std::string> IniFile::get(std::string_view section_key) const {
    const auto it = values_.find(lower(section_key));
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

}  // namespace ssf
