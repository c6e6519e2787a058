// Whole local files, for the fuzz targets' fax images and downloads.
#ifndef TESSALINE_FUZZ_LOCAL_FILES_H
#define TESSALINE_FUZZ_LOCAL_FILES_H

#include <fstream>
#include <iterator>
#include <string>

namespace fuzz {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

}  // namespace fuzz

#endif
