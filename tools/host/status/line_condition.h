#pragma once

// What the line to one power system is doing, and the one text form of it that the events,
// the JSON, the metrics and the human output show.

namespace k426b_host {

enum class LineCondition {
  kUp,      // valid replies come within the reply time-out
  kSilent,  // queries go unanswered (nothing, or only bytes the codec dropped)
  kLost,    // the port is gone
};

// "up", "silent" or "lost".
constexpr const char* LineConditionText(LineCondition condition) {
  switch (condition) {
    case LineCondition::kUp: return "up";
    case LineCondition::kSilent: return "silent";
    case LineCondition::kLost: return "lost";
  }
  return "lost";
}

}  // namespace k426b_host
