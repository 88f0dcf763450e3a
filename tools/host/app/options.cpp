#include "tools/host/app/options.h"

#include <algorithm>
#include <array>
#include <cctype>

#include <CLI/CLI.hpp>

#include "tools/common/baud.h"
#include "tools/common/version.h"
#include "tools/host/app/bench_host.h"

namespace k426b_host {

std::string UsageErrorText(const std::string& program, const std::string& message) {
  return program + ": " + message + "\nRun '" + program + " --help' for the options.\n";
}

namespace {

// A CLI11 validator for durations, so a bad one is a usage error naming the option.
const CLI::Validator kDuration(
    [](std::string& text) {
      return ParseDuration(text)
                 ? std::string()
                 : "'" + text + "' is not a duration (seconds, or 90s, 10min, 2h, 7d)";
    },
    "DURATION");

const char kDescription[] =
    "Runs the k426b plug-in against a power system on a serial port, or against the built-in\n"
    "simulator. Without arguments: --simulate with the example configuration until Ctrl-C.\n"
    "Exit status: 0 done, 1 run-time failure (port, history, plug-in, no cycle by the\n"
    "--once deadline), 2 bad command line or configuration.";

}  // namespace

ParsedOptions ParseHostOptions(const std::vector<std::string>& arguments) {
  ParsedOptions parsed;
  parsed.arguments = arguments;
  HostOptions& options = parsed.options;
  std::string max_cache_age = "10min";
  std::string deadline = "30s";
  std::string history_keep;
  std::string history_interval = "30s";
  unsigned cycles = 0;
  bool verbose = false;
  bool quiet = false;

  CLI::App app(kDescription, "k426b-host");
  app.set_version_flag("--version", std::string("k426b-host ") + K426B_VERSION_STRING);
  auto* sites = app.add_option("--sites", options.sites_path,
                               "sites file (JSON): every power system listed there in one "
                               "process; SIGHUP re-reads it");
  app.add_option("--listen,--web.listen-address", options.listen,
                 "serve /metrics, /healthz and the web page on ADDR:PORT (PORT alone: "
                 "127.0.0.1)");
  app.add_option("--web.config.file", options.web_config_file,
                 "secure the endpoint of --listen as this YAML file says: TLS, client "
                 "certificates, basic auth (bcrypt), headers; read again when it changes");
  app.add_option("--config", options.config_path,
                 "composite device configuration (JSON); default " + ExampleConfigPath());
  auto* port = app.add_option("--port", options.port,
                              "serial device of the power system (8N1, no flow control), or "
                              "tcp://HOST:PORT of a serial device server")
                   ->excludes(sites);
  auto* baud = app.add_option("--baud", options.baud, "line speed of --port (default 9600)")
                   ->check(CLI::IsMember(SupportedBauds()))
                   ->needs(port);
  (void)baud;
  auto* simulate = app.add_flag("--simulate", options.simulate,
                                "run the equipment simulator in-process on a pseudo-terminal")
                       ->excludes(port)
                       ->excludes(sites);
  app.add_option("--scenario", options.scenario_path, "simulator scenario for --simulate")
      ->excludes(port);
  (void)simulate;
  app.add_option("--cycles", cycles, "end with status 0 after N completed poll cycles")
      ->check(CLI::PositiveNumber);
  app.add_option("--events", options.events_path,
                 "append the event stream to FILE as JSON Lines; '-' for standard output");
  auto* history = app.add_option("--history", options.history_path,
                                 "SQLite history (default $XDG_STATE_HOME/k426b/history.sqlite;"
                                 " simulator-history.sqlite with --simulate)");
  auto* no_history =
      app.add_flag("--no-history", options.no_history, "keep no history and load no cache")
          ->excludes(history);
  app.add_option("--history-keep", history_keep,
                 "with --sites: delete history rows older than this (default 7d, or the sites "
                 "file's history_keep; 0: keep every row)")
      ->check(kDuration)
      ->needs(sites)
      ->excludes(no_history);
  // How often an unusable history is tried again and old rows are pruned: tests shorten it.
  app.add_option("--history-interval", history_interval)->check(kDuration)->group("");
  app.add_option("--max-cache-age", max_cache_age,
                 "load a unit's stored values at start-up only when younger (default 10min;"
                 " 0: never)")
      ->check(kDuration);
  auto* once = app.add_flag("--once", options.once,
                            "end after the first completed cycle (status 1 if none by --deadline)");
  app.add_flag("--json", options.json, "with --once: print the site's status as one JSON document")
      ->needs(once);
  app.add_option("--deadline", deadline, "how long --once waits for a cycle (default 30s)")
      ->check(kDuration)
      ->needs(once);
  app.add_flag("--trace", options.trace, "print every frame sent and received, as text and hex");
  app.add_option("--record", options.record_path,
                 "record the raw bytes of both directions, for k426b-sim --replay");
  app.add_option("--plugin", options.plugin_path,
                 "plug-in library to load (default: libk426b.so beside k426b-host, else in the "
                 "k426b folder of the installed tree's library directory)");
  auto* verbose_flag = app.add_flag("-v,--verbose", verbose, "log more: every query given up");
  app.add_flag("-q,--quiet", quiet, "log only warnings and errors")->excludes(verbose_flag);
  app.add_option("--log-file", options.log_file, "write the log to FILE instead of standard error");
  std::string mqtt_discovery = "on";
  app.add_option("--mqtt", options.mqtt_url,
                 "with --sites: publish every site's values, alarms and line to the broker at "
                 "mqtt://HOST:PORT or mqtts://HOST:PORT")
      ->needs(sites);
  app.add_option("--mqtt-client-id", options.mqtt_client_id,
                 "the host's MQTT client id (default k426b-HOSTNAME); each site's connection "
                 "adds -SITE");
  app.add_option("--mqtt-user", options.mqtt_user, "MQTT user name");
  app.add_option("--mqtt-password-file", options.mqtt_password_file,
                 "file whose first line is the MQTT password");
  app.add_option("--mqtt-ca-file", options.mqtt_ca_file,
                 "CA certificates (PEM) for mqtts:// (default: the system's)");
  app.add_option("--mqtt-prefix", options.mqtt_prefix, "topic prefix (default k426b)");
  app.add_option("--mqtt-discovery", mqtt_discovery,
                 "Home Assistant discovery: on (default) or off")
      ->check(CLI::IsMember({"on", "off"}));
  app.add_option("--mqtt-discovery-prefix", options.mqtt_discovery_prefix,
                 "discovery topic prefix (default homeassistant)");
  app.add_option("--mqtt-manufacturer", options.mqtt_manufacturer,
                 "manufacturer shown on the discovered devices");
  // How many alarm messages wait per site while the broker is away: tests shorten it.
  app.add_option("--mqtt-alarm-queue", options.mqtt_alarm_queue)
      ->check(CLI::PositiveNumber)
      ->group("");
  app.footer("Exit status: 0 done, 1 run-time failure, 2 bad command line or configuration.");

  std::vector<const char*> argv = {"k426b-host"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::CallForHelp&) {
    parsed.output = app.help();
    return parsed;
  } catch (const CLI::CallForVersion&) {
    parsed.output = std::string("k426b-host ") + K426B_VERSION_STRING + "\n";
    return parsed;
  } catch (const CLI::ParseError& error) {
    parsed.error = error.what();
    return parsed;
  }

  if (cycles > 0) options.cycles = cycles;
  options.mqtt_discovery = mqtt_discovery == "on";
  options.max_cache_age = *ParseDuration(max_cache_age);
  options.deadline = *ParseDuration(deadline);
  if (!history_keep.empty()) options.history_keep = *ParseDuration(history_keep);
  options.history_interval = *ParseDuration(history_interval);
  if (options.history_interval.count() == 0)
    parsed.error = "--history-interval must be longer than 0";
  options.verbosity = verbose ? 1 : quiet ? -1 : 0;
  if (options.once && options.deadline.count() == 0) {
    parsed.error = "--deadline must be longer than 0";
  } else if (options.json && options.events_path == "-") {
    parsed.error = "--json and --events - both want standard output";
  }
  if (!options.sites_path.empty() && (!options.config_path.empty() || options.once)) {
    parsed.error =
        "--sites takes each site's configuration from the sites file; leave out "
        "--config and --once";
  }
  if (options.port.empty() && options.sites_path.empty()) options.simulate = true;
  return parsed;
}

}  // namespace k426b_host
