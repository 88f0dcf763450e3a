#pragma once

// The human output of one site: whole lines, never interleaved with another thread's, on
// standard output (standard error when the event stream or the one-shot JSON has standard
// output). A site of several carries its name in front of each line. Bytes from the line that
// are not valid UTF-8 are shown as `\xFF`.

#include <cstdio>
#include <mutex>
#include <string>

#include <fmt/format.h>

#include "tools/common/utf8.h"

namespace k426b_host {

class HumanOutput {
 public:
  HumanOutput(std::FILE* out, std::string site) : out_(out), site_(std::move(site)) {}

  // `text` may span several lines; each gets the site's name.
  void Print(const std::string& given) {
    const std::string text = ValidUtf8(given);
    std::lock_guard<std::mutex> lock(mutex_);
    if (site_.empty()) {
      fmt::print(out_, "{}\n", text);
    } else {
      std::size_t start = 0;
      while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        fmt::print(out_, "[{}] {}\n", site_, text.substr(start, end - start));
        start = end + 1;
      }
    }
    std::fflush(out_);
  }

  // `text` between two rows of stars, for what nobody may miss.
  void Banner(const std::string& text) {
    const std::string stars(60, '*');
    Print(fmt::format("\n  {}\n  *** {}\n  {}", stars, text, stars));
  }

  std::FILE* file() const { return out_; }

 private:
  std::mutex mutex_;
  std::FILE* out_;
  std::string site_;
};

}  // namespace k426b_host
