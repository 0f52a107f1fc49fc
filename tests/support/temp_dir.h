#pragma once
// A fresh temporary directory for one test, removed with everything in it when
// the TempDir goes away. Header-only, so Qt test programs that do not link the
// test support library can use it too.
//
//   TempDir dir;
//   std::string prefs = dir.file("OEMPrefs.dat");
//   writeFileBytes(prefs, bytes);
#include <dirent.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "halyard-test-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline void writeFileText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// The whole file; empty when it cannot be read.
inline std::vector<uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

// The names of the atomic writers' temporary files ("<name>.tmp.<suffix>")
// left in `dir`.
inline std::vector<std::string> temporaryFilesIn(const std::string& dir) {
    std::vector<std::string> found;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (std::string(e->d_name).find(".tmp.") != std::string::npos)
                found.push_back(e->d_name);
        closedir(d);
    }
    return found;
}
