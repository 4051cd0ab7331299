// Known-answer vector files: blocks of "name = value" lines separated by blank lines, '#' lines
// naming the source. The reader is strict: a block that leaves a field unread, or asks for a
// field it lacks, fails the test, so a typo in a data file cannot silently skip a check.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const std::string& hex);  // whitespace ignored; odd length or bad digit throws
std::string to_hex(const uint8_t* p, size_t n);
inline std::string to_hex(const Bytes& b) {
    return to_hex(b.data(), b.size());
}

class VectorBlock {
  public:
    VectorBlock(std::string where, std::map<std::string, std::string> fields)
        : where_(std::move(where)), fields_(std::move(fields)) {}
    bool has(const std::string& name) const { return fields_.count(name) != 0; }
    const std::string& text(const std::string& name) const;
    Bytes hex(const std::string& name) const { return from_hex(text(name)); }
    uint64_t number(const std::string& name) const;
    const std::string& where() const { return where_; }
    // Names of fields never read; the file reader checks this after each test body.
    std::vector<std::string> unused() const;

  private:
    std::string where_;
    std::map<std::string, std::string> fields_;
    mutable std::set<std::string> used_;
};

class VectorFile {
  public:
    // Path relative to tests/data unless absolute.
    explicit VectorFile(const std::string& path);
    // Runs body on every block (optionally only blocks whose field "kind" equals kind), then
    // fails the current test for fields left unread. Returns the number of blocks run.
    template <class F>
    size_t each(F body, const std::string& kind = {}) const {
        size_t n = 0;
        for (const auto& b : blocks_) {
            if (!kind.empty() && (!b.has("kind") || b.text("kind") != kind)) continue;
            body(b);
            ++n;
            report_unused(b);
        }
        return n;
    }
    const std::vector<VectorBlock>& blocks() const { return blocks_; }

  private:
    static void report_unused(const VectorBlock& b);
    std::vector<VectorBlock> blocks_;
};

std::string test_data_path(const std::string& name);

}  // namespace testing_support
