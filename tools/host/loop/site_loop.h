#pragma once

// The serial loop of one site or of many, on one thread: one epoll set over their lines and one
// schedule of their next steps (Site::Step). Sites whose replies come in together are served in
// one wake-up, where a thread each would switch once per site. A device's pause after a reply does
// not hold up the others, because the site holds back the next query instead of sleeping, nor does
// a cycle's hand-over to the threshold worker: the site shows the cycle once the worker has run its
// items, and the worker wakes the loop for that. The history rows of the cycles shown in one
// wake-up are stored in one transaction, when the sites' history is a store the loop may write
// (the bench host's); the service's history writer takes them off the loop's thread instead.
//
// Opening a line, the first time or after a loss, may block for seconds (a name lookup, a
// connect to a device server that does not answer), so it runs on the loop's openers, threads
// of its own started as needed up to kMostOpeners: only that site waits for it, and sites that
// open together wait beside each other, not one after another.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/common/fd.h"
#include "tools/host/site/site.h"

namespace k426b_host {

class SiteLoop {
 public:
  // Openers a loop starts at most: a device server's power cut leaves every site behind it
  // waiting out its connect time-out at once, and a loop serves up to 128 sites.
  static constexpr std::size_t kMostOpeners = 32;

  using Clock = std::chrono::steady_clock;

  // `longest_wait`: the loop comes round at least that often, also with nothing to do, so that
  // its beat shows it alive (the service: half the watchdog interval).
  explicit SiteLoop(Clock::duration longest_wait = Clock::duration::max());
  // Stops the loop's threads; the sites still served are left as they are, for their owner to
  // finish.
  ~SiteLoop();
  SiteLoop(const SiteLoop&) = delete;
  SiteLoop& operator=(const SiteLoop&) = delete;

  // Serves `site` from the loop's next wake-up on: its device made before; its line opened
  // before, or by an opener at its first step. `done`, when given, is called on the loop's
  // thread once the site's cycles asked for are complete (SiteSettings::cycles); the site is
  // served no further then.
  void Add(Site* site, std::function<void()> done = nullptr);
  // Stops serving `site`; returns once no thread of the loop touches it any more. An open under
  // way is given up (Site::GiveUpOpening) and waited for: the site is not served again.
  void Remove(Site* site);
  // How many sites it serves.
  std::size_t size() const;
  // When the loop last came round: a loop stuck in a step stops beating.
  Clock::time_point last_beat() const { return Clock::time_point(Clock::duration(beat_.load())); }

 private:
  struct Entry {
    Site* site = nullptr;
    std::function<void()> done;  // told when the cycles asked for are complete
    SiteWait wait;               // what the site's last step said
    bool readable = false;       // its line became readable since then
    int registered_fd = -1;      // the descriptor in the epoll set for it
    bool armed = false;          // registered and not yet reported (one report per arming)
    bool away = false;           // with an opener
    bool leaving = false;        // to be removed once back from there
  };

  // The loop's eventfd, kept by every site's worked-mark until the last one has run, so that a
  // mark running after the loop is gone still finds it open.
  struct Waker {
    Fd fd;
    std::atomic<bool> asked{false};  // written since the loop last woke: no second write
    void Wake();
    // From the threshold worker: one write until the loop wakes.
    void WakeOnce();
  };

  void Run();
  // Takes the other threads' requests; false once the loop is to stop.
  bool TakeRequests();
  void Serve(Entry& entry);
  void Arm(Entry& entry, int fd);
  void Erase(std::list<Entry>::iterator entry);
  void Reopening();
  // For tests only: while the file K426B_TEST_STALL_LOOP names exists, one loop stops there
  // without beating, as a loop stuck in a step would.
  void StallWhileAsked();

  const Clock::duration longest_wait_;
  std::atomic<Clock::rep> beat_;
  Fd epoll_;
  std::shared_ptr<Waker> waker_;  // an eventfd: a request is waiting, or a cycle was worked
  std::list<Entry> entries_;      // the loop thread's own
  // The history rows of the sites shown in one wake-up, stored in one transaction before the
  // loop waits again.
  HistoryBatch history_batch_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // a removal is done, a reopen is asked for, or stopping
  struct Adding {
    Site* site;
    std::function<void()> done;
  };
  std::vector<Adding> adding_;
  std::vector<Site*> removing_;   // asked for, not done yet
  std::vector<Entry*> returned_;  // back from an opener
  std::deque<Entry*> to_reopen_;
  std::size_t idle_openers_ = 0;  // waiting for a site to open
  std::size_t served_ = 0;
  bool stopping_ = false;

  std::vector<std::thread> openers_;  // started by the loop's thread, joined after it
  std::thread thread_;
};

}  // namespace k426b_host
