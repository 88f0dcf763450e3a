#include "tools/host/line/name_lookup.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace k426b_host {

namespace {

// How often a waiting opener looks whether it is to give up.
constexpr std::chrono::milliseconds kGiveUpCheck{100};

// One lookup, shared by its thread and its waiter: whichever is last frees the result.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  int status = 0;
  int error = 0;  // errno, for EAI_SYSTEM
  addrinfo* found = nullptr;
  ~Lookup() {
    if (found != nullptr) ::freeaddrinfo(found);
  }
};

int Resolve(const std::string& host, const std::string& service, int flags, addrinfo** found) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | flags;
  return ::getaddrinfo(host.c_str(), service.c_str(), &hints, found);
}

std::string LookupFailure(const std::string& host, int status, int error) {
  return "cannot resolve " + host + ": " +
         (status == EAI_SYSTEM ? std::strerror(error) : ::gai_strerror(status));
}

}  // namespace

AddressList LookUpAddresses(const std::string& host, unsigned port,
                            std::chrono::steady_clock::time_point deadline,
                            const std::atomic<bool>& give_up, std::string& reason) {
  const std::string service = std::to_string(port);
  addrinfo* found = nullptr;
  const int numeric = Resolve(host, service, AI_NUMERICHOST, &found);
  if (numeric == 0) return AddressList(found, ::freeaddrinfo);
  if (numeric != EAI_NONAME) {
    reason = LookupFailure(host, numeric, errno);
    return nullptr;
  }

  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host, service] {
      addrinfo* result = nullptr;
      const int status = Resolve(host, service, 0, &result);
      const int error = errno;
      std::lock_guard<std::mutex> lock(lookup->mutex);
      lookup->status = status;
      lookup->error = error;
      lookup->found = result;
      lookup->done = true;
      lookup->done_changed.notify_all();
    }).detach();
  } catch (const std::system_error& thrown) {
    reason = "cannot resolve " + host + ": " + thrown.what();
    return nullptr;
  }
  std::unique_lock<std::mutex> lock(lookup->mutex);
  while (!lookup->done) {
    if (give_up.load()) {
      reason = "cannot resolve " + host + ": given up";
      return nullptr;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      reason = "cannot resolve " + host + ": no answer within the time limit";
      return nullptr;
    }
    lookup->done_changed.wait_until(lock, std::min(deadline, now + kGiveUpCheck));
  }
  if (lookup->status != 0) {
    reason = LookupFailure(host, lookup->status, lookup->error);
    return nullptr;
  }
  found = lookup->found;
  lookup->found = nullptr;
  return AddressList(found, ::freeaddrinfo);
}

}  // namespace k426b_host
