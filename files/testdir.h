// Tests of the files subsystem: a fresh directory per test, named as the library names paths.
#pragma once

#include "platform/win32.h"
#include "tarnkernl/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace tarn {

// An address no process maps: reading it faults on every target.
inline const char* const kUnreadableText = reinterpret_cast<const char*>(uintptr_t{16});

// A new, empty directory below the system's temporary directory, removed with everything in
// it (read-only files and paths of any length included) at the end of the test.
class TestDir {
public:
    TestDir() {
        namespace fs = std::filesystem;
        std::random_device random;
        native_ = fs::temp_directory_path() /
                  ("tarn-files-" + std::to_string(random()) + "-" +
                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(native_);
        path_ = native_.string();
        std::replace(path_.begin(), path_.end(), '/', '\\');
    }
    ~TestDir() { RemoveTree(path_); }
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;

    // The directory, or a name in it, as the library writes paths: with backslashes.
    const std::string& Path() const { return path_; }
    std::string Path(const std::string& name) const { return path_ + "\\" + name; }

    // Made without the library; `name` separates directories with '/'.
    // A file of `size` bytes.
    void MakeFile(const std::string& name, size_t size = 0) const {
        std::ofstream file(native_ / name, std::ios::binary);
        file << std::string(size, 'x');
    }
    void MakeDirectory(const std::string& name) const {
        std::filesystem::create_directories(native_ / name);
    }
    void CopyIn(const std::filesystem::path& from, const std::string& name) const {
        std::filesystem::copy_file(from, native_ / name);
    }
    void MakeReadOnly(const std::string& name) const {
        namespace fs = std::filesystem;
        fs::permissions(native_ / name,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }

private:
    // Paths beyond the system's short limit are out of reach of std::filesystem on Windows: the
    // tree goes with the library's own wrappers.
    static void RemoveTree(const std::string& path) {
        WIN32_FIND_DATAA data;
        HANDLE search = UNI_FindFirstFile((path + "\\*").c_str(), &data);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::string name = data.cFileName;
                std::string full = path + "\\" + name;
                if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                    SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                    UNI_DeleteFile(full.c_str());
                } else if (name != "." && name != "..") {
                    RemoveTree(full);
                }
            } while (UNI_FindNextFile(search, &data));
            FindClose(search);
        }
        if (!RemoveDirectoryA(path.c_str()))
            RemoveDirectoryW(UNICODE_Str(UNCFileName(path.c_str())));
    }

    std::filesystem::path native_;
    std::string path_;
};

}  // namespace tarn
