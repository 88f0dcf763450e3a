// line_floor: the least CPU time a host can spend on one site's steady cycle on this machine.
//
// It does only what every host must do for a cycle, with the host's own pieces and nothing of
// the plug-in: the five queries of a steady cycle of the example configuration written to the
// line one at a time, each reply waited for and read, the device's 20 ms pause after each reply,
// and the two wake-ups of the quiet time (kept short here: the time asleep costs nothing). With
// --history it also commits the cycle's four history rows in one transaction, and with
// --hand-over it hands each unit's work item to a threshold worker and waits for them, as the
// host does after a cycle. What k426b-host spends beyond this figure is its own work.

#include <poll.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/frame_codec.h"
#include "host/threshold_worker.h"
#include "tools/host/line/serial_port.h"
#include "tools/host/site/poll_schedule.h"
#include "tools/host/store/history_store.h"

namespace {

using k426b_host::HistoryRow;
using k426b_host::HistoryStore;
using k426b_host::Line;
using k426b_host::SerialPort;
using k426b_host::SteadyTime;
using k426b_host::WaitReadable;

constexpr int kReplyTimeoutMs = 1500;
constexpr int kPauseAfterReplyMs = 20;
constexpr int kQuietWakeUps = 2;
constexpr int kQuietWakeUpMs = 5;
constexpr unsigned kUnits = 4;  // two AC units, one DC unit, the rectifier unit
constexpr std::size_t kSnapshotBytes = 256;

// The queries of a steady cycle (the has-data flag set, no change bit raised), as sent.
std::vector<std::string> SteadyCycleQueries() {
  const struct {
    unsigned char cid1, cid2;
    std::vector<unsigned char> info;
  } queries[] = {{0x40, 0x41, {0xFF}}, {0x41, 0x41, {}}, {0x42, 0x41, {}},
                 {0x40, 0x46, {}},     {0x42, 0x46, {}}};
  std::vector<std::string> frames;
  for (const auto& query : queries)
    frames.push_back(zvk::EncodeFrame(zvk::Frame{0x20, 0x01, query.cid1, query.cid2, query.info}));
  return frames;
}

double ProcessCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Switches {
  long voluntary = 0;
  long involuntary = 0;
};

Switches ProcessSwitches() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return {usage.ru_nvcsw, usage.ru_nivcsw};
}

// Waits for one whole reply (up to its EOI); false when none came within the reply time-out.
bool ReadReply(SerialPort& port, std::vector<unsigned char>& buffer) {
  const SteadyTime deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  for (;;) {
    if (!WaitReadable(port.fd(), deadline)) return false;
    std::size_t received = 0;
    const Line::ReadResult result = port.Read(buffer.data(), buffer.size(), received, 0);
    if (result == Line::ReadResult::kGone) return false;
    if (std::memchr(buffer.data(), zvk::kEoi, received) != nullptr) return true;
  }
}

class Cycle {
 public:
  Cycle(SerialPort& port, HistoryStore* history, ThresholdWorker* worker)
      : port_(port), history_(history), worker_(worker), queries_(SteadyCycleQueries()),
        buffer_(4096) {
    if (worker_) owner_ = worker_->AddOwner();
    for (unsigned unit = 0; unit < kUnits; ++unit)
      rows_.push_back(HistoryRow{"2026-12-09T00:00:00+00:00", 101 + unit, 5094,
                                 std::vector<unsigned char>(kSnapshotBytes, 0x5A)});
  }

  bool Run() {
    for (int wake = 0; wake < kQuietWakeUps; ++wake) ::poll(nullptr, 0, kQuietWakeUpMs);
    for (const std::string& query : queries_) {
      if (!port_.Write(reinterpret_cast<const unsigned char*>(query.data()), query.size()))
        return false;
      if (!ReadReply(port_, buffer_)) return false;
      ::poll(nullptr, 0, kPauseAfterReplyMs);
    }
    if (worker_) {
      for (unsigned unit = 0; unit < kUnits; ++unit) worker_->Submit(owner_, [] {});
      worker_->Drain(*owner_);
    }
    if (history_ && !history_->AppendAll("line_floor", rows_).empty()) return false;
    return true;
  }

 private:
  SerialPort& port_;
  HistoryStore* history_;
  ThresholdWorker* worker_;
  std::shared_ptr<ThresholdWorker::Owner> owner_;
  std::vector<std::string> queries_;
  std::vector<unsigned char> buffer_;
  std::vector<HistoryRow> rows_;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "The least CPU time a host spends on one site's steady cycle: the cycle's five queries and\n"
      "replies on the line with the 20 ms pause after each reply, and optionally the history\n"
      "commit and the hand-over to a threshold worker. Run it against `k426b-sim --pty`."};
  std::string port_path;
  std::string history_path;
  int cycles = 50;
  bool hand_over = false;
  app.add_option("--port", port_path, "the simulator's pseudo-terminal")->required();
  app.add_option("--cycles", cycles, "measured cycles, after one warm-up cycle")
      ->check(CLI::Range(1, 100000));
  app.add_option("--history", history_path, "also commit four history rows a cycle to this file");
  app.add_flag("--hand-over", hand_over,
               "also hand four work items a cycle to a threshold worker and wait for them");
  CLI11_PARSE(app, argc, argv);

  SerialPort port(port_path, 9600);
  if (const std::string error = port.Open(); !error.empty()) {
    std::fprintf(stderr, "line_floor: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<HistoryStore> history;
  if (!history_path.empty()) {
    std::string error;
    history = HistoryStore::Open(history_path, error);
    if (!history) {
      std::fprintf(stderr, "line_floor: %s\n", error.c_str());
      return 1;
    }
  }
  std::unique_ptr<ThresholdWorker> worker;
  if (hand_over) worker = std::make_unique<ThresholdWorker>();

  Cycle cycle(port, history.get(), worker.get());
  if (!cycle.Run()) {
    std::fprintf(stderr, "line_floor: no reply from %s\n", port_path.c_str());
    return 1;
  }
  const double cpu_before = ProcessCpuSeconds();
  const Switches switches_before = ProcessSwitches();
  for (int done = 0; done < cycles; ++done) {
    if (!cycle.Run()) {
      std::fprintf(stderr, "line_floor: cycle %d failed (no reply, or the history)\n", done + 1);
      return 1;
    }
    if ((done + 1) % 10 == 0) std::fprintf(stderr, "\r%d of %d cycles", done + 1, cycles);
  }
  std::fprintf(stderr, "\n");
  const double cpu = ProcessCpuSeconds() - cpu_before;
  const Switches switches = ProcessSwitches();
  const long voluntary = switches.voluntary - switches_before.voluntary;
  const long involuntary = switches.involuntary - switches_before.involuntary;
  std::printf("per cycle: %.3f ms CPU, %.1f context switches (%.1f voluntary + %.1f involuntary)\n",
              cpu * 1e3 / cycles, static_cast<double>(voluntary + involuntary) / cycles,
              static_cast<double>(voluntary) / cycles, static_cast<double>(involuntary) / cycles);
  return 0;
}
