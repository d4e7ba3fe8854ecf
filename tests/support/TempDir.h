#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// A fresh directory under the system temp folder, removed with everything in it at scope end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }
    std::string File(const std::string& name) const { return (FPath / name).string(); }

  private:
    std::filesystem::path FPath;
};

// A whole file's bytes (empty when it cannot be read), and a file made of exactly these bytes.
inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void Spit(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}
