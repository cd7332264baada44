// Temporary firmware files for the upload tests.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class TTempDir {
 public:
  TTempDir() {
    char name[] = "/tmp/lim07-upload-XXXXXX";
    FDir = mkdtemp(name) ? name : "";
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
  std::string Path(const std::string& name) const { return FDir + "/" + name; }
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    std::string path = Path(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
  }

 private:
  std::string FDir;
};

// Bytes that differ from block to block and are never all zero, so that a
// lost, repeated or shifted block shows.
inline std::vector<std::uint8_t> PatternBytes(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  std::uint32_t state = 0x12345678u + static_cast<std::uint32_t>(count);
  for (auto& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}
