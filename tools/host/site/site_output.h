#pragma once

// What a site writes to besides its event stream: its status, for the readers of the status
// board, and its lines for people. The run wires it to the board and the terminal; the site
// sees nothing more of either.

#include <functional>
#include <string>

#include "tools/host/status/site_status.h"

namespace k426b_host {

class SiteOutput {
 public:
  virtual ~SiteOutput() = default;
  // `fill` writes the site's status over the one published before, in place (the strings it
  // holds keep their memory), or over a new status of the site's name when none is published.
  virtual void PublishStatus(const std::function<void(SiteStatus&)>& fill) = 0;
  // The line changed state: the status published shows it.
  virtual void LineChanged(const LineStatus& line) = 0;
  // `text`, which may span several lines, for people.
  virtual void Say(const std::string& text) = 0;
};

}  // namespace k426b_host
