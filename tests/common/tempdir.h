// A scratch directory removed with everything in it when the test ends.
#pragma once

#include <string>

namespace testing_support {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;

  private:
    std::string path_;
};

std::string read_file(const std::string& path);  // empty when missing
bool file_exists(const std::string& path);

// Sets an environment variable for the scope, restoring the old value after.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();

  private:
    std::string name_, old_;
    bool had_;
};

}  // namespace testing_support
