#include "tools/host/loop/site_loop.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "tools/host/site/poll_schedule.h"

namespace k426b_host {

namespace {

// A descriptor epoll cannot watch is read every 20 ms instead.
constexpr std::chrono::milliseconds kUnwatchedRead{20};

}  // namespace

void SiteLoop::Waker::Wake() {
  const std::uint64_t one = 1;
  while (::write(fd.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void SiteLoop::Waker::WakeOnce() {
  if (!asked.exchange(true)) Wake();
}

SiteLoop::SiteLoop(Clock::duration longest_wait)
    : longest_wait_(longest_wait),
      beat_(Clock::now().time_since_epoch().count()),
      waker_(std::make_shared<Waker>()) {
  epoll_ = Fd(::epoll_create1(EPOLL_CLOEXEC));
  waker_->fd = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!epoll_.valid() || !waker_->fd.valid())
    throw std::runtime_error(std::string("cannot make the serial loop's epoll set: ") +
                             std::strerror(errno));
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.ptr = nullptr;  // the one event without an entry
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, waker_->fd.Get(), &wake);
  thread_ = std::thread([this] { Run(); });
}

SiteLoop::~SiteLoop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  waker_->Wake();
  thread_.join();
  for (std::thread& opener : openers_) opener.join();
}

void SiteLoop::Add(Site* site, std::function<void()> done) {
  site->ShowCyclesOnceWorked([waker = waker_] { waker->WakeOnce(); });
  site->StoreHistoryIn(&history_batch_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    adding_.push_back({site, std::move(done)});
    ++served_;
  }
  waker_->Wake();
}

void SiteLoop::Remove(Site* site) {
  site->GiveUpOpening();
  std::unique_lock<std::mutex> lock(mutex_);
  removing_.push_back(site);
  waker_->Wake();
  changed_.wait(lock, [&] {
    return stopping_ || std::find(removing_.begin(), removing_.end(), site) == removing_.end();
  });
}

std::size_t SiteLoop::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return served_;
}

bool SiteLoop::TakeRequests() {
  std::vector<Adding> adding;
  std::vector<Entry*> returned;
  std::vector<Site*> removing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    adding.swap(adding_);
    returned.swap(returned_);
    removing = removing_;
  }
  for (Adding& added : adding) {
    Entry entry;
    entry.site = added.site;
    entry.done = std::move(added.done);
    entry.wait.until = Clock::now();  // its first step at once
    entries_.push_back(entry);
  }
  for (Entry* entry : returned) {
    entry->away = false;
    entry->wait.until = Clock::now();
  }
  bool removed = false;
  for (Site* site : removing) {
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
      if (entry->site != site) continue;
      if (entry->away) {
        entry->leaving = true;  // removed once its reopen is over
      } else {
        Erase(entry);
        removed = true;
      }
      break;
    }
  }
  if (removed) changed_.notify_all();
  return true;
}

void SiteLoop::Erase(std::list<Entry>::iterator entry) {
  if (entry->registered_fd >= 0)
    ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, entry->registered_fd, nullptr);
  Site* site = entry->site;
  entries_.erase(entry);
  std::lock_guard<std::mutex> lock(mutex_);
  removing_.erase(std::find(removing_.begin(), removing_.end(), site));
  --served_;
}

void SiteLoop::Run() {
  std::vector<epoll_event> events(256);
  while (TakeRequests()) {
    beat_.store(Clock::now().time_since_epoch().count());
    StallWhileAsked();
    // Leaving sites back from reopening go now.
    bool removed = false;
    for (auto entry = entries_.begin(); entry != entries_.end();) {
      const auto next = std::next(entry);
      if (entry->leaving && !entry->away) {
        Erase(entry);
        removed = true;
      }
      entry = next;
    }
    if (removed) changed_.notify_all();

    Clock::time_point next = Clock::time_point::max();
    for (const Entry& entry : entries_)
      if (!entry.away && entry.wait.until < next) next = entry.wait.until;
    const Clock::time_point now_before = Clock::now();
    if (longest_wait_ != Clock::duration::max()) next = std::min(next, now_before + longest_wait_);
    const int timeout = next == Clock::time_point::max() ? -1 : WaitMs(next, now_before);
    const int ready =
        ::epoll_wait(epoll_.Get(), events.data(), static_cast<int>(events.size()), timeout);
    // Marks that run from here on write again; those before are seen in the sites below.
    waker_->asked.store(false);
    for (int i = 0; i < ready; ++i) {
      auto* entry = static_cast<Entry*>(events[i].data.ptr);
      if (entry == nullptr) {
        std::uint64_t count = 0;
        while (::read(waker_->fd.Get(), &count, sizeof count) < 0 && errno == EINTR) {
        }
        continue;
      }
      entry->armed = false;  // one report per arming
      entry->readable = true;
    }
    const Clock::time_point now = Clock::now();
    for (Entry& entry : entries_) {
      if (entry.away || entry.leaving || entry.wait.done) continue;
      if (entry.readable || entry.wait.until <= now || entry.site->CycleWorked()) Serve(entry);
    }
    history_batch_.Flush();
  }
}

void SiteLoop::Serve(Entry& entry) {
  const bool readable = entry.readable;
  entry.readable = false;
  entry.wait = entry.site->Step(readable);
  // A line closed during the step left the epoll set with its descriptor.
  if (entry.registered_fd >= 0 && entry.wait.line_fd != entry.registered_fd) {
    entry.registered_fd = -1;
    entry.armed = false;
  }
  if (entry.wait.done) {
    entry.wait.until = Clock::time_point::max();
    if (entry.done) entry.done();
    return;
  }
  if (entry.wait.reopen) {
    // The reopen reads the newest rows back: the site's are stored first.
    history_batch_.Flush();
    entry.away = true;
    bool start_opener = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      to_reopen_.push_back(&entry);
      start_opener = to_reopen_.size() > idle_openers_ && openers_.size() < kMostOpeners;
    }
    if (start_opener) {
      try {
        openers_.emplace_back([this] { Reopening(); });
      } catch (const std::system_error&) {
        // No thread to be had now: the openers there are take the site in turn.
        if (openers_.empty()) throw;
      }
    }
    changed_.notify_all();
    return;
  }
  if (entry.wait.fd >= 0 && !entry.armed) Arm(entry, entry.wait.fd);
}

void SiteLoop::Arm(Entry& entry, int fd) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLONESHOT;
  event.data.ptr = &entry;
  // The same descriptor is armed again; a new one (or one the epoll set lost) is added.
  if (entry.registered_fd == fd && ::epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, fd, &event) == 0) {
    entry.armed = true;
    return;
  }
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) == 0 ||
      (errno == EEXIST && ::epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, fd, &event) == 0)) {
    entry.registered_fd = fd;
    entry.armed = true;
    return;
  }
  // Not a descriptor epoll can watch: look at it now and then instead.
  entry.readable = true;
  entry.wait.until = std::min(entry.wait.until, Clock::now() + kUnwatchedRead);
}

void SiteLoop::StallWhileAsked() {
  static const char* const asked = std::getenv("K426B_TEST_STALL_LOOP");
  static std::atomic<SiteLoop*> stalled{nullptr};
  if (asked == nullptr || ::access(asked, F_OK) != 0) return;
  SiteLoop* none = nullptr;
  if (!stalled.compare_exchange_strong(none, this)) return;  // another loop stalls
  while (::access(asked, F_OK) == 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (changed_.wait_for(lock, std::chrono::milliseconds(50), [&] { return stopping_; })) break;
  }
  stalled.store(nullptr);
}

void SiteLoop::Reopening() {
  while (true) {
    Entry* entry = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++idle_openers_;
      changed_.wait(lock, [&] { return stopping_ || !to_reopen_.empty(); });
      --idle_openers_;
      if (stopping_) return;
      entry = to_reopen_.front();
      to_reopen_.pop_front();
    }
    entry->site->Reopen();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      returned_.push_back(entry);
    }
    waker_->Wake();
  }
}

}  // namespace k426b_host
