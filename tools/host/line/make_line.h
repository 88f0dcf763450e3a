#pragma once

// The line a port names: a serial device path gives a serial port, tcp://HOST:PORT a socket to
// a serial device server.

#include <memory>
#include <string>

#include "tools/host/line/line.h"

namespace k426b_host {

std::unique_ptr<Line> MakeLine(const std::string& port, int baud);

}  // namespace k426b_host
