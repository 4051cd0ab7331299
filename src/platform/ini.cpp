#include "platform/ini.h"

#include "platform/files.h"

namespace platform {

namespace {

// The C locale's white space and case: files written for the library in any locale mean the
// same.
bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower(c);
    return out;
}

std::string_view strip(std::string_view s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool is_comment(std::string_view line) {
    return !line.empty() && (line.front() == ';' || line.front() == '#');
}

// Whether a key line ends inside the comment after its value, where value_text() stops: after
// the closing quote of a quoted value, else at the first ';' or '#'. A quoted value without its
// closing quote runs to the end of the line, comment signs and all.
bool ends_in_comment(std::string_view line) {
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    const std::string_view rest = strip(line.substr(eq + 1));
    size_t from = 0;
    for (const char quote : {'"', '\''}) {
        if (rest.size() > 1 && rest[0] == quote && rest[1] != quote) {
            from = rest.find(quote, 1);
            if (from == std::string_view::npos) return false;
        }
    }
    return rest.find_first_of(";#", from) != std::string_view::npos;
}

// One logical line, blanks around it dropped, into the sections; false when not understood.
bool take_line(std::string_view line, const IniDialect& dialect,
               std::vector<Ini::Section>& sections) {
    if (line.empty() || is_comment(line)) return true;
    if (line.front() == '[' && line.back() == ']') {
        const size_t close = dialect.name_to_last_bracket ? line.size() - 1 : line.find(']');
        const std::string_view name = strip(line.substr(1, close - 1));
        if (name.empty()) return false;
        sections.push_back({std::string(name), {}});
        return true;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    if (dialect.keys_need_section && sections.size() == 1) return false;
    sections.back().entries.emplace_back(strip(line.substr(0, eq)), strip(line.substr(eq + 1)));
    return true;
}

// The next physical line of text, taken off it: LF, CR LF and a lone CR all end one.
std::string_view next_line(std::string_view& text) {
    const size_t end = text.find_first_of("\r\n");
    const std::string_view line = text.substr(0, end);
    size_t skip = end == std::string_view::npos ? text.size() : end + 1;
    if (end != std::string_view::npos && text[end] == '\r' && end + 1 < text.size() &&
        text[end + 1] == '\n')
        ++skip;
    text.remove_prefix(skip);
    return line;
}

}  // namespace

bool ini_names_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::optional<Ini> Ini::parse(std::string_view text, int& bad_line, const IniDialect& dialect) {
    Ini ini;
    ini.sections_.push_back({});
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::string logical;  // the physical lines joined by their trailing backslashes
    int number = 0;
    bool goes_on = false;
    while (!text.empty()) {
        std::string_view physical = next_line(text);
        ++number;
        if (physical.find('\0') != std::string_view::npos) {
            bad_line = number;
            return std::nullopt;
        }
        if (dialect.hash_ends_text) physical = physical.substr(0, physical.find('#'));
        if (logical.empty() && is_comment(strip(physical))) continue;
        logical.append(physical);
        while (!logical.empty() && blank(logical.back())) logical.pop_back();
        goes_on = dialect.continued_values && !logical.empty() && logical.back() == '\\' &&
                  !ends_in_comment(logical);
        if (goes_on) {
            logical.pop_back();
            continue;
        }
        if (!take_line(strip(logical), dialect, ini.sections_)) {
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

std::string Ini::value_text(std::string_view rest) {
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

// Compared as "section:key", which is how the configuration has always addressed its values: a
// colon inside a section or key name cannot make a key match that did not before.
std::optional<std::string> Ini::get(std::string_view section_key) const {
    const std::string* found = nullptr;
    for (const Section& s : sections_)
        for (const auto& [k, v] : s.entries)
            if (ini_names_equal(s.name + ":" + k, section_key)) found = &v;
    if (!found) return std::nullopt;
    return value_text(*found);
}

std::map<std::string, std::string> Ini::values() const {
    std::map<std::string, std::string> out;
    for (const Section& s : sections_)
        for (const auto& [k, v] : s.entries) out[lower(s.name) + ":" + lower(k)] = value_text(v);
    return out;
}

IniFileRead read_ini_file(const std::string& path, const IniDialect& dialect, size_t limit) {
    IniFileRead out;
    RegularFile file(path);
    if (!file) {
        out.error = file.error();
        out.missing = file.missing();
        out.not_regular = file.not_regular();
        return out;
    }
    const std::optional<FileStamp> before = file.stamp();
    if ((out.error = file.read_all(out.text, limit)) == 0)
        out.ini = Ini::parse(out.text, out.bad_line, dialect);
    if (before && before == file.stamp() && before == file_stamp(path)) out.stamp = before;
    return out;
}

}  // namespace platform
