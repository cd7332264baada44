// Where the history database lives by default.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "HistoryStore.h"

namespace {

// A folder of this process's own, removed with everything in it when the
// process ends.
class TTemporaryFolder {
 public:
  TTemporaryFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/lim07-history-XXXXXX";
    if (::mkdtemp(pattern.data())) FPath = pattern;
  }
  ~TTemporaryFolder() {
    std::error_code ignored;
    if (!FPath.empty()) std::filesystem::remove_all(FPath, ignored);
  }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

}  // namespace

std::string DefaultHistoryPath() {
  const char* chosen = std::getenv("LIM07_HISTORY");
  if (chosen && *chosen) {
    const std::string value = chosen;
    if (value == "off") return {};
    if (value == ":temporary:") {
      static TTemporaryFolder folder;
      return folder.Path().empty() ? std::string() : folder.Path() + "/history.db";
    }
    return value;
  }
  std::string data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg && xdg[0] == '/') {
    data = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    data = std::string(home) + "/.local/share";
  } else {
    return {};
  }
  return data + "/lim07/history.db";
}

bool EnsureParentFolder(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return true;
  std::error_code error;
  std::filesystem::create_directories(parent, error);
  return std::filesystem::is_directory(parent, error);
}
