#pragma once

// The addresses of a device server's HOST:PORT, looked up with a time limit: the resolver may
// take as long as it likes (a name server that does not answer), but the opener waits for it only
// until its deadline or until it is told to give up.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <netdb.h>

namespace k426b_host {

using AddressList = std::shared_ptr<addrinfo>;

// The stream socket addresses of `host`:`port`, or none with `reason` set. A numeric address is
// taken at once; a name is looked up on a thread of its own, left to finish alone once the wait
// ends at `deadline` or once `give_up` is true.
AddressList LookUpAddresses(const std::string& host, unsigned port,
                            std::chrono::steady_clock::time_point deadline,
                            const std::atomic<bool>& give_up, std::string& reason);

}  // namespace k426b_host
