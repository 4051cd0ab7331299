#include "common/vectors.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <stdexcept>

namespace testing_support {

static int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

Bytes from_hex(const std::string& hex) {
    Bytes out;
    int hi = -1;
    for (char c : hex) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        int v = nibble(c);
        if (v < 0) throw std::invalid_argument("bad hex digit in '" + hex + "'");
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    if (hi >= 0) throw std::invalid_argument("odd hex length in '" + hex + "'");
    return out;
}

std::string to_hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

const std::string& VectorBlock::text(const std::string& name) const {
    auto it = fields_.find(name);
    if (it == fields_.end()) throw std::out_of_range(where_ + ": no field '" + name + "'");
    used_.insert(name);
    return it->second;
}

uint64_t VectorBlock::number(const std::string& name) const {
    return std::stoull(text(name), nullptr, 0);
}

std::vector<std::string> VectorBlock::unused() const {
    std::vector<std::string> out;
    for (const auto& [k, v] : fields_)
        if (!used_.count(k) && k != "kind") out.push_back(k);
    return out;
}

std::string test_data_path(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    return std::string(SSF_TEST_DATA) + "/" + name;
}

VectorFile::VectorFile(const std::string& path) {
    const std::string full = test_data_path(path);
    std::ifstream in(full);
    if (!in) throw std::runtime_error("cannot open vector file " + full);
    std::map<std::string, std::string> fields;
    std::string line, last;
    size_t lineno = 0, start = 0;
    auto flush = [&] {
        if (!fields.empty())
            blocks_.emplace_back(full + ":" + std::to_string(start), std::move(fields));
        fields.clear();
    };
    while (std::getline(in, line)) {
        ++lineno;
        auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) {
            flush();
            continue;
        }
        if (line[first] == '#') continue;
        auto eq = line.find('=');
        if (eq == std::string::npos) {
            // A continuation line extends the previous field (long hex values wrap).
            if (last.empty())
                throw std::runtime_error(full + ":" + std::to_string(lineno) + ": no '='");
            fields[last] += line.substr(first);
            continue;
        }
        auto trim = [](std::string s) {
            auto b = s.find_first_not_of(" \t\r");
            auto e = s.find_last_not_of(" \t\r");
            return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
        };
        std::string key = trim(line.substr(0, eq));
        if (fields.empty()) start = lineno;
        if (fields.count(key))
            throw std::runtime_error(full + ":" + std::to_string(lineno) + ": repeated field " +
                                     key);
        fields[key] = trim(line.substr(eq + 1));
        last = key;
    }
    flush();
    if (blocks_.empty()) throw std::runtime_error("no vectors in " + full);
}

void VectorFile::report_unused(const VectorBlock& b) {
    for (const auto& name : b.unused())
        ADD_FAILURE() << b.where() << ": field '" << name << "' never checked";
}

}  // namespace testing_support
