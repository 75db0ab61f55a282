// Runs a test inside a fresh directory, for code that works on fixed names
// in the working directory.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

struct TempDir {
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::path path;

    TempDir() {
        std::random_device random;
        path = std::filesystem::temp_directory_path() /
               ("kestrune-unit-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(path);
        std::filesystem::current_path(path);
    }
    ~TempDir() {
        std::filesystem::current_path(previous);
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// A file of these bytes, made anew.
inline void WriteFileText(const char* path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The bytes of a file, or "" when there is none.
inline std::string FileText(const char* path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}
