#include "tools/host/app/site_set.h"

#include <fmt/format.h>

#include "host/threshold_worker.h"
#include "tools/host/line/make_line.h"
#include "tools/host/line/shared_line.h"
#include "tools/host/site/poll_schedule.h"
#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

bool SameSite(const SiteConfig& a, const SiteConfig& b) {
  return a.port == b.port && a.baud == b.baud && a.device == b.device && a.shared == b.shared;
}

}  // namespace

SiteSet::SiteSet(const HostOptions& options, const LoadedPlugin& plugin, SiteHistory* history,
                 EventStream& stream, StatusBoard& board, std::FILE* human)
    : options_(options),
      plugin_(plugin),
      history_(history),
      stream_(stream),
      board_(board),
      human_(human),
      worker_(std::make_shared<ThresholdWorker>()) {}

std::string SiteSet::Add(const SiteConfig& config) {
  auto running = std::make_unique<RunningSite>();
  running->config = config;
  running->out = std::make_unique<HumanOutput>(human_, config.name);
  if (options_.trace) running->wire.EnableTrace(human_);
  SiteSettings settings;
  settings.name = config.name;
  settings.source = config.port;
  settings.baud = config.baud;
  settings.config = config.device;
  settings.max_cache_age = options_.max_cache_age;
  settings.summary = true;
  settings.every_summary = options_.verbosity > 0;
  const std::size_t loop = LeastBusyLoop();
  settings.cycle_start_offset = CycleStartOffset(loop, kCycleStartSpread);
  running->output = std::make_unique<BoardAndTerminal>(board_, *running->out, config.name);
  SiteDependencies dependencies;
  dependencies.plugin = &plugin_;
  dependencies.stream = &stream_;
  dependencies.history = history_;
  dependencies.output = running->output.get();
  dependencies.wire = &running->wire;
  dependencies.worker = worker_;
  AddSiteEvents(dependencies, settings, *running->out);
  running->site = std::make_unique<Site>(settings, LineFor(config), std::move(dependencies));
  if (auto problem = running->site->CreateDevice(); !problem.empty())
    return "site " + config.name + ": " + problem;
  // The line is opened by an opener of the loop at the site's first step: a connect that waits
  // its time-out holds up neither the start, a reload, nor the other sites.
  running->site->Start();
  if (loop == loops_.size()) loops_.push_back(std::make_unique<SiteLoop>(loop_wake_));
  running->loop = loops_[loop].get();
  running->loop->Add(running->site.get());
  sites_[config.name] = std::move(running);
  return {};
}

std::unique_ptr<Line> SiteSet::LineFor(const SiteConfig& config) {
  if (!config.shared) return MakeLine(config.port, config.baud);
  // The sites on one port share one line, opened and locked once.
  std::shared_ptr<SharedLine> shared = shared_lines_[config.port].lock();
  if (!shared) {
    shared = std::make_shared<SharedLine>(MakeLine(config.port, config.baud));
    shared_lines_[config.port] = shared;
  }
  return shared->Join(config.address);
}

void SiteSet::Remove(const std::string& name) {
  const auto found = sites_.find(name);
  if (found == sites_.end()) return;
  Stop(*found->second);
  board_.Remove(name);
  sites_.erase(found);
}

SiteSet::Applied SiteSet::Apply(const std::vector<SiteConfig>& wanted) {
  Applied applied;
  std::map<std::string, const SiteConfig*> by_name;
  for (const SiteConfig& config : wanted) by_name[config.name] = &config;
  for (const auto& [name, running] : sites_) {
    const auto found = by_name.find(name);
    if (found == by_name.end() || !SameSite(running->config, *found->second))
      applied.stopped.push_back(name);
    else
      applied.kept.push_back(name);
  }
  for (const std::string& name : applied.stopped) {
    HostLog().info("[{}] stopped: {}", name,
                   by_name.count(name) ? "changed in the sites file" : "no longer listed");
    Remove(name);
  }
  for (const SiteConfig& config : wanted) {
    if (sites_.count(config.name)) continue;
    if (auto problem = Add(config); !problem.empty()) {
      HostLog().error("{}", problem);
    } else {
      HostLog().info("[{}] started on {}", config.name, config.port);
      applied.started.push_back(config.name);
    }
  }
  return applied;
}

void SiteSet::StopAll() {
  for (auto& [name, running] : sites_) Stop(*running);
  sites_.clear();
  loops_.clear();
}

void SiteSet::Stop(RunningSite& running) {
  running.loop->Remove(running.site.get());
  running.site->Finish();
}

std::size_t SiteSet::LeastBusyLoop() const {
  std::size_t least = 0;
  for (std::size_t index = 1; index < loops_.size(); ++index)
    if (loops_[index]->size() < loops_[least]->size()) least = index;
  if (!loops_.empty() && loops_[least]->size() < kSitesPerLoop) return least;
  return loops_.size();
}

std::string SiteSet::StalledLoop(std::chrono::steady_clock::duration within) const {
  const auto now = std::chrono::steady_clock::now();
  for (std::size_t index = 0; index < loops_.size(); ++index) {
    const auto quiet = now - loops_[index]->last_beat();
    if (quiet > within)
      return fmt::format("serial loop {} of {} ({} site{}) has not come round for {:.1f} s",
                         index + 1, loops_.size(), loops_[index]->size(),
                         loops_[index]->size() == 1 ? "" : "s",
                         std::chrono::duration<double>(quiet).count());
  }
  return {};
}

}  // namespace k426b_host
