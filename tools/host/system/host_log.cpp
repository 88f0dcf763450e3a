#include "tools/host/system/host_log.h"

#include <exception>
#include <memory>
#include <string_view>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "tools/common/utf8.h"

namespace k426b_host {

namespace {

std::shared_ptr<spdlog::logger>& Logger() {
  static std::shared_ptr<spdlog::logger> logger = std::make_shared<spdlog::logger>(
      "k426b-host", std::make_shared<spdlog::sinks::stderr_sink_mt>());
  return logger;
}

// The log's lines as the pattern makes them, with each byte that is not part of valid UTF-8
// (a text from the line, a message of the plug-in) written as `\xFF`.
class ValidUtf8Formatter : public spdlog::formatter {
 public:
  explicit ValidUtf8Formatter(std::unique_ptr<spdlog::formatter> pattern)
      : pattern_(std::move(pattern)) {}

  void format(const spdlog::details::log_msg& message, spdlog::memory_buf_t& out) override {
    spdlog::memory_buf_t line;
    pattern_->format(message, line);
    const std::string_view text(line.data(), line.size());
    if (IsValidUtf8(text)) {
      out.append(line.data(), line.data() + line.size());
      return;
    }
    const std::string valid = ValidUtf8(text);
    out.append(valid.data(), valid.data() + valid.size());
  }
  std::unique_ptr<spdlog::formatter> clone() const override {
    return std::make_unique<ValidUtf8Formatter>(pattern_->clone());
  }

 private:
  std::unique_ptr<spdlog::formatter> pattern_;
};

}  // namespace

std::string SetUpHostLog(int verbosity, const std::string& log_file) {
  try {
    std::shared_ptr<spdlog::sinks::sink> sink;
    if (log_file.empty())
      sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    else
      sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(log_file);
    auto logger = std::make_shared<spdlog::logger>("k426b-host", sink);
    logger->set_formatter(std::make_unique<ValidUtf8Formatter>(
        std::make_unique<spdlog::pattern_formatter>("%Y-%m-%d %H:%M:%S.%e k426b-host %l: %v")));
    logger->set_level(verbosity < 0   ? spdlog::level::warn
                      : verbosity > 0 ? spdlog::level::debug
                                      : spdlog::level::info);
    logger->flush_on(spdlog::level::trace);
    Logger() = logger;
  } catch (const std::exception& failure) {
    return "cannot write the log " + log_file + ": " + failure.what();
  }
  return {};
}

spdlog::logger& HostLog() { return *Logger(); }

}  // namespace k426b_host
