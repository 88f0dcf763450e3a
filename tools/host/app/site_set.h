#pragma once

// The service's running sites by name: each a Site served by one of the service's serial
// loops, up to 128 sites a loop, all sharing one threshold worker, one history, one event stream
// and one status board. Sites are added, removed, or brought in line with a re-read sites file
// without disturbing the others.

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/host/app/options.h"
#include "tools/host/app/site_wiring.h"
#include "tools/host/config/sites_file.h"
#include "tools/host/events/event_stream.h"
#include "tools/host/events/wire_log.h"
#include "tools/host/line/shared_line.h"
#include "tools/host/loop/site_loop.h"
#include "tools/host/site/site.h"
#include "tools/host/status/status_board.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/human_output.h"
#include "tools/host/system/plugin_loader.h"

class ThresholdWorker;

namespace k426b_host {

class SiteSet {
 public:
  // Sites that share a loop wait for each other's work after a reply or a cycle (the units'
  // rules, the history commit), and sites on different loops wake their threads apart. At a
  // thousand sites on two cores, 128 a loop kept every cycle closest to its wire time (64 and
  // 256 a loop left more cycles late: bench/README.md).
  static constexpr std::size_t kSitesPerLoop = 128;
  // `options`, `plugin`, `history` (may be null), `stream`, `board` and `human` outlive the set.
  SiteSet(const HostOptions& options, const LoadedPlugin& plugin, SiteHistory* history,
          EventStream& stream, StatusBoard& board, std::FILE* human);
  ~SiteSet() { StopAll(); }
  SiteSet(const SiteSet&) = delete;
  SiteSet& operator=(const SiteSet&) = delete;

  // Starts the site on the least busy serial loop, which opens its line (and retries a line that
  // cannot be opened) off the caller's thread; only a device the plug-in refuses keeps the site
  // from starting (the reason is returned).
  std::string Add(const SiteConfig& config);
  // Stops the site and takes it off the status board.
  void Remove(const std::string& name);

  // What a reload did, by site name.
  struct Applied {
    std::vector<std::string> started, stopped, kept;
  };
  // Applies a re-read sites file: sites no longer listed stop, new ones start, changed ones
  // restart; the others run on untouched. A changed site is both stopped and started.
  Applied Apply(const std::vector<SiteConfig>& wanted);

  std::size_t size() const { return sites_.size(); }
  // Every loop started from now on comes round at least this often (SiteLoop's longest wait).
  void WakeLoopsEvery(std::chrono::steady_clock::duration wake) { loop_wake_ = wake; }
  // The first serial loop that has not come round within `within`, told for the log; empty
  // while every loop is making progress.
  std::string StalledLoop(std::chrono::steady_clock::duration within) const;
  void StopAll();

 private:
  // One running site: its Site, served by one of the loops and stopped on its own. Its wire log
  // is its own too: a log splits received bytes into frames and hands them to one site's trace,
  // so a shared one would mix the sites' bytes and give every frame to the last site started.
  struct RunningSite {
    SiteConfig config;
    std::unique_ptr<HumanOutput> out;
    std::unique_ptr<BoardAndTerminal> output;
    WireLog wire;
    std::unique_ptr<Site> site;
    SiteLoop* loop = nullptr;
  };

  static void Stop(RunningSite& running);
  // The site's own line, or its share of the line it has with other sites.
  std::unique_ptr<Line> LineFor(const SiteConfig& config);
  // The index of the loop a new site joins: the least busy of those with fewer than
  // kSitesPerLoop sites, else loops_.size() for a loop still to be started.
  std::size_t LeastBusyLoop() const;

  // Every site's quiet time ends at the start of a second, so sites whose cycles take as long
  // would all send their queries in the same millisecond, and their replies would all need the
  // cores at once. The loops' sites start their cycles at different points of the first 100 ms
  // of the second (CycleStartOffset): a loop's sites keep together, so that one wake-up serves
  // them, and the loops do not compete for the cores at the same moment. Kept short: a cycle
  // that ends past the next second starts its quiet time a second later.
  static constexpr std::chrono::microseconds kCycleStartSpread{100'000};

  const HostOptions& options_;
  const LoadedPlugin& plugin_;
  SiteHistory* history_;
  EventStream& stream_;
  StatusBoard& board_;
  std::FILE* human_;
  // Every site's threshold work on one thread, rather than a thread per site.
  const std::shared_ptr<ThresholdWorker> worker_;
  std::chrono::steady_clock::duration loop_wake_ = std::chrono::steady_clock::duration::max();
  std::vector<std::unique_ptr<SiteLoop>> loops_;
  std::map<std::string, std::unique_ptr<RunningSite>> sites_;
  // The lines several sites share, by port, while a site is on them.
  std::map<std::string, std::weak_ptr<SharedLine>> shared_lines_;
};

}  // namespace k426b_host
