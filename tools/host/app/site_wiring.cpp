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

std::shared_ptr<SiteEvents> MakeSiteEvents(const SiteSettings& settings, EventStream& stream,
                                           HistoryStore* history, HumanOutput& terminal) {
  return std::make_shared<SiteEvents>(settings.name, stream, history, settings.source, terminal);
}

}  // namespace k426b_host
