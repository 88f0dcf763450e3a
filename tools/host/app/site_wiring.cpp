#include "tools/host/app/site_wiring.h"

#include <utility>

namespace k426b_host {

void BoardAndTerminal::PublishStatus(const std::function<void(SiteStatus&)>& fill) {
  if (board_.Update(site_, fill)) return;
  SiteStatus status;
  status.name = site_;
  fill(status);
  board_.Publish(std::move(status));
}

void BoardAndTerminal::LineChanged(const LineStatus& line) {
  board_.Update(site_, [&line](SiteStatus& status) { status.line = line; });
}

void AddSiteEvents(SiteDependencies& dependencies, const SiteSettings& settings,
                   HumanOutput& terminal) {
  dependencies.events = std::make_shared<SiteEvents>(
      settings.name, *dependencies.stream, dependencies.history, settings.source, terminal);
}

}  // namespace k426b_host
