#include "tools/sim/engine/record_file.h"

#include <fstream>
#include <memory>
#include <sstream>

#include <json/reader.h>
#include <json/writer.h>

namespace k426b_sim {

std::string FormatRecordLine(const RecordEntry& entry) {
  Json::Value line(Json::objectValue);
  line["t"] = entry.t;
  line["dir"] = entry.dir == Direction::kTx ? "tx" : "rx";
  line["hex"] = zvk::ToHex(entry.bytes);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, line);
}

std::vector<RecordEntry> ReadRecord(std::istream& in, const std::string& name) {
  std::vector<RecordEntry> entries;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
    const std::string where = name + ":" + std::to_string(number) + ": ";
    Json::Value line;
    std::string errors;
    bool parsed = false;
    try {
      parsed = reader->parse(text.data(), text.data() + text.size(), &line, &errors);
    } catch (const std::exception& thrown) {  // the reader throws past its nesting limit
      throw ScenarioError(where + "not usable JSON: " + thrown.what());
    }
    if (!parsed || !line.isObject()) throw ScenarioError(where + "not a JSON object");
    RecordEntry entry;
    if (!line["t"].isNumeric()) throw ScenarioError(where + "\"t\" must be a number");
    entry.t = line["t"].asDouble();
    const std::string dir = line["dir"].isString() ? line["dir"].asString() : std::string();
    if (dir != "tx" && dir != "rx") throw ScenarioError(where + "\"dir\" must be \"tx\" or \"rx\"");
    entry.dir = dir == "tx" ? Direction::kTx : Direction::kRx;
    if (!line["hex"].isString() || !zvk::FromHex(line["hex"].asString(), entry.bytes))
      throw ScenarioError(where + "\"hex\" must be hexadecimal text");
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<RecordEntry> ReadRecordFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw ScenarioError(path + ": cannot be read");
  return ReadRecord(file, path);
}

Replayer::Replayer(const std::vector<RecordEntry>& entries) {
  zvk::FrameDecoder queries;
  for (const RecordEntry& entry : entries) {
    if (entry.dir == Direction::kTx) {
      for (const zvk::FrameDecoder::Event& event :
           queries.Feed(entry.bytes.data(), entry.bytes.size()))
        if (event.ok) exchanges_.push_back({event.frame.cid1, event.frame.cid2, std::string()});
    } else if (!exchanges_.empty()) {
      exchanges_.back().answer.append(entry.bytes.begin(), entry.bytes.end());
    }
  }
}

std::vector<std::string> Replayer::OnBytes(const unsigned char* bytes, std::size_t length) {
  std::vector<std::string> replies;
  for (const zvk::FrameDecoder::Event& event : decoder_.Feed(bytes, length)) {
    if (!event.ok) continue;
    for (std::size_t i = next_; i < exchanges_.size(); ++i) {
      if (exchanges_[i].cid1 != event.frame.cid1 || exchanges_[i].cid2 != event.frame.cid2)
        continue;
      next_ = i + 1;
      if (!exchanges_[i].answer.empty()) replies.push_back(exchanges_[i].answer);
      break;
    }
  }
  return replies;
}

}  // namespace k426b_sim
