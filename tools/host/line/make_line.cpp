#include "tools/host/line/make_line.h"

#include "tools/host/line/serial_port.h"
#include "tools/host/line/tcp_line.h"

namespace k426b_host {

std::unique_ptr<Line> MakeLine(const std::string& port, int baud) {
  if (IsTcpAddress(port)) return std::make_unique<TcpLine>(port);
  return std::make_unique<SerialPort>(port, baud);
}

}  // namespace k426b_host
