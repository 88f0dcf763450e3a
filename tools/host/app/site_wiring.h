#pragma once

// How the bench host and the service tie a site to the run's outputs: its status on the status
// board, its lines for people on the terminal, and its events, named and sourced as its
// settings say.

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "tools/host/events/event_stream.h"
#include "tools/host/events/site_events.h"
#include "tools/host/site/site.h"
#include "tools/host/site/site_output.h"
#include "tools/host/status/status_board.h"
#include "tools/host/store/history_store.h"
#include "tools/host/system/human_output.h"

namespace k426b_host {

// A site's output on the board (under the site's name) and on the terminal.
class BoardAndTerminal : public SiteOutput {
 public:
  // `board` and `terminal` outlive it.
  BoardAndTerminal(StatusBoard& board, HumanOutput& terminal, std::string site)
      : board_(board), terminal_(terminal), site_(std::move(site)) {}

  void PublishStatus(const std::function<void(SiteStatus&)>& fill) override;
  void LineChanged(const LineStatus& line) override;
  void Say(const std::string& text) override { terminal_.Print(text); }

 private:
  StatusBoard& board_;
  HumanOutput& terminal_;
  const std::string site_;
};

// Gives the site `settings` describe its events, written to `dependencies.stream` and saving into
// `dependencies.history` (null: no history kept), so that the site and its events share both.
// The model alarm is shown on `terminal` as it is raised.
void AddSiteEvents(SiteDependencies& dependencies, const SiteSettings& settings,
                   HumanOutput& terminal);

}  // namespace k426b_host
