#pragma once

// Strict reading of the JSON files a person writes (the composite configuration, the simulator's
// scenario, the sites file): a size limit, every parser failure turned into a message, and
// member checks that report every unknown member with the nearest known name, all problems at
// once rather than only the first.

#include <cstddef>
#include <string>
#include <vector>

#include <json/value.h>

// Larger files are refused before they are parsed.
inline constexpr std::size_t kMaxJsonFileBytes = 1024 * 1024;

// Reads and parses `path` as `what` (e.g. "configuration"): duplicate keys and trailing text
// are errors, nesting beyond a sane depth too. Empty result on success, else the reason, naming
// the file. Never throws.
std::string LoadJsonFile(const std::string& path, const std::string& what, Json::Value& document);

// "an object", "a string", ... for messages.
const char* JsonTypeName(const Json::Value& value);

// `where` joined with a member name or an index: "acSetting[0].appSetting".
std::string MemberPath(const std::string& where, const std::string& member);
std::string ElementPath(const std::string& where, unsigned index);

// The known name closest to `name` by edit distance, when close enough to be a likely
// misspelling; empty otherwise.
std::string NearestName(const std::string& name, const std::vector<std::string>& known);

// "unknown member 'adress' — did you mean 'address'?" (or without the suggestion).
std::string UnknownMemberMessage(const std::string& where, const std::string& name,
                                 const std::vector<std::string>& known);

// Collects the problems of one document.
class StrictChecker {
 public:
  explicit StrictChecker(std::vector<std::string>& problems) : problems_(problems) {}

  void Problem(const std::string& text) { problems_.push_back(text); }
  // Reports each member of `object` (an object) that `known` does not list.
  void KnownMembers(const Json::Value& object, const std::string& where,
                    const std::vector<std::string>& known);
  // False, with "`where` must be `wanted`, found ..." reported, when `check` is false.
  bool Expect(bool check, const std::string& where, const char* wanted, const Json::Value& value);

 private:
  std::vector<std::string>& problems_;
};

// Problems joined one per line, for one message.
std::string JoinProblems(const std::vector<std::string>& problems);
