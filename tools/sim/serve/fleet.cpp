#include "tools/sim/serve/fleet.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/sim/serve/tcp_server.h"

namespace k426b_sim {
namespace {

void Raise(Reading& reading, float by) {
  if (reading) *reading += by;
}

// One site's line: a TCP server or a pseudo-terminal, with the responder it serves.
struct SiteLine {
  std::unique_ptr<Responder> responder;
  std::unique_ptr<TcpServer> tcp;
  std::optional<Pty> pty;
  std::string link;
  std::string shown;  // what is printed for the site
};

}  // namespace

Scenario SiteScenario(const Scenario& base, int site) {
  Scenario scenario = base;
  const float volts = static_cast<float>(site);
  for (AcUnit& unit : scenario.ac_units)
    for (AcScreen& screen : unit.screens) {
      Raise(screen.a, volts);
      Raise(screen.b, volts);
      Raise(screen.c, volts);
    }
  for (DcUnit& unit : scenario.dc_units) Raise(unit.v, volts / 10);
  Raise(scenario.rectifier.group_value, volts / 10);
  return scenario;
}

int RunFleet(const FleetOptions& options,
             const std::function<std::unique_ptr<Responder>(int site)>& responder_for,
             std::ostream& out, const std::atomic<bool>& stop) {
  std::vector<SiteLine> lines(static_cast<std::size_t>(options.sites));
  std::string host;
  unsigned short first_port = 0;
  if (options.tcp) SplitAddress(*options.tcp, host, first_port);
  if (options.tcp && first_port != 0 && first_port + options.sites - 1 > 65535)
    throw std::invalid_argument("--sites: ports beyond 65535");

  for (int i = 0; i < options.sites; ++i) {
    SiteLine& line = lines[static_cast<std::size_t>(i)];
    line.responder = responder_for(i);
    if (options.tcp) {
      const auto port = static_cast<unsigned short>(first_port == 0 ? 0 : first_port + i);
      line.tcp = std::make_unique<TcpServer>(host, port);
      line.shown = line.tcp->Address();
    } else {
      line.pty = OpenPty();
      line.shown = line.pty->slave_path;
      if (options.link) {
        line.link = *options.link + "-" + std::to_string(i);
        ::unlink(line.link.c_str());
        if (::symlink(line.pty->slave_path.c_str(), line.link.c_str()) != 0)
          throw std::system_error(errno, std::generic_category(), "symlink " + line.link);
        line.shown = line.link;
      }
    }
  }
  for (const SiteLine& line : lines) out << line.shown << "\n";
  out.flush();

  if (options.tcp) {  // every TCP site from this thread
    std::vector<TcpServer::Site> sites;
    for (SiteLine& line : lines) sites.push_back({line.tcp.get(), line.responder.get()});
    return TcpServer::ServeAll(sites, options.serve, stop) ? 0 : 1;
  }

  // A failing site stops the others: the fleet is one process to its caller.
  std::atomic<bool> all_stop{false};
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (SiteLine& each : lines) {
    threads.emplace_back([&, line = &each] {
      const bool clean = Serve(line->pty->master.Get(), *line->responder, options.serve, all_stop);
      if (!clean) {
        failed = true;
        all_stop = true;
      }
    });
  }
  while (!stop.load() && !all_stop.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  all_stop = true;
  for (std::thread& thread : threads) thread.join();
  for (const SiteLine& line : lines)
    if (!line.link.empty()) ::unlink(line.link.c_str());
  return failed ? 1 : 0;
}

}  // namespace k426b_sim
