#pragma once

// A folder of a test's own under the temporary folder, removed with all it holds when the test
// is done with it.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

class ScratchFolder {
 public:
  // The folder is named k426b-NAME-XXXXXX; empty when it could not be made.
  explicit ScratchFolder(const std::string& name) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / ("k426b-" + name + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  // `text` written to `name` in the folder, byte for byte; the file's path.
  std::string Write(const std::string& name, const std::string& text) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream(file, std::ios::binary) << text;
    return file.string();
  }

 private:
  std::filesystem::path path_;
};
