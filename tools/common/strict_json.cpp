#include "tools/common/strict_json.h"

#include <algorithm>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>

#include <json/reader.h>

namespace {

// Deep enough for every file we read; shallow enough that the parser's recursion stays small.
constexpr int kMaxNesting = 64;

std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Whether `text` is well-formed UTF-8 (no check for overlong forms: only for showing it).
bool IsUtf8(const std::string& text) {
  for (std::size_t index = 0; index < text.size();) {
    const auto lead = static_cast<unsigned char>(text[index]);
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5) == 0x6  ? 2
                               : (lead >> 4) == 0xE  ? 3
                               : (lead >> 3) == 0x1E ? 4
                                                     : 0;
    if (length == 0 || index + length > text.size()) return false;
    for (std::size_t next = 1; next < length; ++next)
      if ((static_cast<unsigned char>(text[index + next]) >> 6) != 0x2) return false;
    index += length;
  }
  return true;
}

// A name from the file as a message can show it: control bytes, and every byte of a name that
// is not UTF-8, as \xHH.
std::string Shown(const std::string& name) {
  const bool utf8 = IsUtf8(name);
  std::string shown;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && !utf8)) {
      static const char kHex[] = "0123456789ABCDEF";
      shown += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace

std::string LoadJsonFile(const std::string& path, const std::string& what, Json::Value& document) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "cannot read " + what + " " + path;
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  if (size > static_cast<std::streamoff>(kMaxJsonFileBytes))
    return what + " " + path + " is too large: " + std::to_string(size) + " bytes, the limit is " +
           std::to_string(kMaxJsonFileBytes);
  file.seekg(0, std::ios::beg);
  std::string content;
  content.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
  if (!content.empty() && !file.read(&content[0], size)) return "cannot read " + what + " " + path;

  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["failIfExtra"] = true;
  builder["rejectDupKeys"] = true;
  builder["stackLimit"] = kMaxNesting;
  std::string errors;
  try {
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(content.data(), content.data() + content.size(), &document, &errors))
      return what + " " + path + " is not valid JSON: " + Trimmed(errors);
  } catch (const std::exception& failure) {
    // The parser throws rather than reports for some input (nesting past its stack limit).
    return what + " " + path + " is not usable JSON: " + Trimmed(failure.what());
  }
  return {};
}

const char* JsonTypeName(const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue: return "null";
    case Json::intValue:
    case Json::uintValue: return "an integer";
    case Json::realValue: return "a number";
    case Json::stringValue: return "a string";
    case Json::booleanValue: return "a boolean";
    case Json::arrayValue: return "an array";
    case Json::objectValue: return "an object";
  }
  return "a value";
}

std::string MemberPath(const std::string& where, const std::string& member) {
  return where.empty() ? member : where + "." + member;
}

std::string ElementPath(const std::string& where, unsigned index) {
  return where + "[" + std::to_string(index) + "]";
}

std::string NearestName(const std::string& name, const std::vector<std::string>& known) {
  std::string nearest;
  std::size_t best = std::max<std::size_t>(2, name.size() / 3) + 1;
  for (const std::string& candidate : known) {
    const std::size_t distance = EditDistance(name, candidate);
    if (distance < best) {
      best = distance;
      nearest = candidate;
    }
  }
  return nearest;
}

std::string UnknownMemberMessage(const std::string& where, const std::string& name,
                                 const std::vector<std::string>& known) {
  std::string text =
      (where.empty() ? std::string() : where + ": ") + "unknown member '" + Shown(name) + "'";
  const std::string nearest = NearestName(name, known);
  if (!nearest.empty()) text += " \u2014 did you mean '" + nearest + "'?";
  return text;
}

void StrictChecker::KnownMembers(const Json::Value& object, const std::string& where,
                                 const std::vector<std::string>& known) {
  if (!object.isObject()) return;
  for (const std::string& name : object.getMemberNames())
    if (std::find(known.begin(), known.end(), name) == known.end())
      Problem(UnknownMemberMessage(where, name, known));
}

bool StrictChecker::Expect(bool check, const std::string& where, const char* wanted,
                           const Json::Value& value) {
  if (!check) Problem(where + " must be " + wanted + ", found " + JsonTypeName(value));
  return check;
}

std::string JoinProblems(const std::vector<std::string>& problems) {
  std::string text;
  for (const std::string& problem : problems) text += (text.empty() ? "" : "\n  ") + problem;
  return text;
}
