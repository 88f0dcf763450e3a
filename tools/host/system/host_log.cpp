#include "tools/host/system/host_log.h"

#include <exception>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

namespace k426b_host {

namespace {

std::shared_ptr<spdlog::logger>& Logger() {
  static std::shared_ptr<spdlog::logger> logger = std::make_shared<spdlog::logger>(
      "k426b-host", std::make_shared<spdlog::sinks::stderr_sink_mt>());
  return logger;
}

}  // namespace

std::string SetUpHostLog(int verbosity, const std::string& log_file) {
  try {
    std::shared_ptr<spdlog::sinks::sink> sink;
    if (log_file.empty())
      sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    else
      sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(log_file);
    auto logger = std::make_shared<spdlog::logger>("k426b-host", sink);
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e k426b-host %l: %v");
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
