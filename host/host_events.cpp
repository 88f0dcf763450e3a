#include "host/host_events.h"

HostEvents::~HostEvents() = default;
void HostEvents::OnQuery(unsigned, unsigned char, unsigned char, const Bytes&, const std::string&) {
}
void HostEvents::OnReply(unsigned, unsigned char, unsigned char, const Bytes&) {}
void HostEvents::OnFrameError(unsigned, const std::string&, const Bytes&) {}
void HostEvents::OnLog(unsigned, const std::string&) {}
void HostEvents::OnSnapshot(unsigned, int, const Bytes&) {}
void HostEvents::OnRule(unsigned, const rule_value&) {}
void HostEvents::OnAlarm(unsigned, const rule_value&, bool) {}
void HostEvents::OnHistory(unsigned, int, const Bytes&) {}
void HostEvents::OnCycle(unsigned, unsigned) {}
void HostEvents::OnRetired(unsigned, const std::string&, const std::string&) {}
