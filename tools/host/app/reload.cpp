#include "tools/host/app/reload.h"

#include <fmt/format.h>
#include <json/value.h>

#include "tools/host/config/sites_file.h"
#include "tools/host/system/file_limit.h"
#include "tools/host/system/host_log.h"

namespace k426b_host {

namespace {

Json::Value Names(const std::vector<std::string>& names) {
  Json::Value array(Json::arrayValue);
  for (const std::string& name : names) array.append(name);
  return array;
}

}  // namespace

std::string FileLimitProblem(std::size_t sites) {
  const std::size_t file_limit = RaiseFileLimit();
  const std::size_t files_needed = FilesNeeded(sites, SiteSet::kSitesPerLoop);
  if (files_needed <= file_limit) return {};
  return fmt::format(
      "{} sites need about {} open files, but the limit is {} (raise it: LimitNOFILE= in the "
      "unit, or ulimit -n)",
      sites, files_needed, file_limit);
}

std::string SitesFileProblems(const std::string& path, const std::vector<std::string>& problems) {
  std::string text = "sites file " + path + ":";
  for (const std::string& problem : problems) text += "\n  " + problem;
  return text;
}

void Reload(const std::string& path, SiteSet& sites, EventStream& stream) {
  Json::Value event(Json::objectValue);
  event["config"] = path;
  SitesFile reread = LoadSitesFile(path);
  event["applied"] = reread.problems.empty();
  if (!reread.problems.empty()) {
    HostLog().error("reload refused, the running sites are kept: {}",
                    SitesFileProblems(path, reread.problems));
    event["problems"] = Names(reread.problems);
  } else if (auto problem = FileLimitProblem(reread.sites.size()); !problem.empty()) {
    // Refused as the start refuses it: sites started beyond the limit would fail one by one.
    event["applied"] = false;
    HostLog().error("reload refused, the running sites are kept: sites file {}: {}", path, problem);
    event["problems"] = Names({problem});
  } else {
    const SiteSet::Applied applied = sites.Apply(reread.sites);
    HostLog().info("reloaded {}: {} sites ({} started, {} stopped, {} kept)", path, sites.size(),
                   applied.started.size(), applied.stopped.size(), applied.kept.size());
    event["started"] = Names(applied.started);
    event["stopped"] = Names(applied.stopped);
    event["kept"] = Names(applied.kept);
  }
  stream.Write("reload", event);
}

}  // namespace k426b_host
