#include "tools/host/line/shared_line.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace k426b_host {

namespace {

constexpr char kSoi = 0x7E;
constexpr char kEoi = 0x0D;
// Longer than any frame of the protocol (LENGTH holds at most 4095 INFO characters): a "frame"
// that has not ended by then is handed on as it is.
constexpr std::size_t kLongestFrame = 4200;

void Signal(int fd) {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

void Drain(int fd) {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t taken = ::read(fd, &count, sizeof count);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The ADR of a frame "~VVAA...", -1 when its head cannot be read.
int FrameAddress(const std::string& frame) {
  if (frame.size() < 5) return -1;
  const int high = HexDigit(frame[3]);
  const int low = HexDigit(frame[4]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

}  // namespace

struct SharedLine::Member {
  int address = 0;
  Fd wake;  // an eventfd: bytes, the turn, or the loss are there for this site
  bool open = false;
  unsigned long long generation = 0;  // of the open this site joined
  std::vector<unsigned char> inbox;
  Line::Foreign foreign;
  unsigned unanswered = 0;                        // its queries in a row that got no reply
  std::chrono::steady_clock::time_point asked{};  // when it began waiting for the turn
};

namespace {

// What one site sees of the shared line.
class MemberLine : public Line {
 public:
  MemberLine(std::shared_ptr<SharedLine> shared, std::unique_ptr<SharedLine::Member> member)
      : shared_(std::move(shared)), member_(std::move(member)) {}
  ~MemberLine() override { shared_->Leave(*member_); }

  std::string Open() override { return shared_->Open(*member_); }
  void GiveUpOpening() override { shared_->GiveUpOpening(*member_); }
  void Close() override { shared_->Close(*member_); }
  bool is_open() const override { return open_view(); }
  int fd() const override { return open_view() ? member_->wake.Get() : -1; }
  const std::string& path() const override { return shared_->path(); }
  bool Write(const unsigned char* bytes, std::size_t length) override {
    return shared_->Write(*member_, bytes, length);
  }
  ReadResult Read(unsigned char* buffer, std::size_t capacity, std::size_t& received,
                  int) override {
    return shared_->Read(*member_, buffer, capacity, received);
  }
  bool TakeTurn() override { return shared_->TakeTurn(*member_); }
  int shared_address() const override { return member_->address; }
  bool OpenElsewhere() const override { return !open_view() && shared_->OpenElsewhere(*member_); }
  Foreign TakeForeign() override { return shared_->TakeForeign(*member_); }

 private:
  // Only the site's own thread changes `open`.
  bool open_view() const { return member_->open; }

  std::shared_ptr<SharedLine> shared_;
  std::unique_ptr<SharedLine::Member> member_;
};

}  // namespace

SharedLine::SharedLine(std::unique_ptr<Line> line)
    : line_(std::move(line)), path_(line_->path()), stop_(::eventfd(0, EFD_NONBLOCK)) {}

SharedLine::~SharedLine() {
  StopReader();
  line_->Close();
}

std::unique_ptr<Line> SharedLine::Join(int address) {
  auto member = std::make_unique<Member>();
  member->address = address;
  member->wake = Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    members_.push_back(member.get());
  }
  return std::make_unique<MemberLine>(shared_from_this(), std::move(member));
}

bool SharedLine::Current(const Member& member) const {
  return member.open && member.generation == generation_ && !lost_ && !opening_;
}

std::string SharedLine::Open(Member& member) {
  std::lock_guard<std::mutex> opening(open_mutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    member.unanswered = 0;             // a line opened anew: heard out again from the start
    if (line_->is_open() && !lost_) {  // opened by another site on it
      member.open = true;
      member.generation = generation_;
      return {};
    }
    opening_ = true;
  }
  StopReader();
  line_->Close();
  const std::string failure = line_->Open();
  std::lock_guard<std::mutex> lock(mutex_);
  opening_ = false;
  if (!failure.empty()) return failure;
  ++generation_;
  lost_ = false;
  holder_ = nullptr;
  waiting_.clear();
  frame_.clear();
  frame_owner_ = nullptr;
  member.open = true;
  member.generation = generation_;
  Drain(stop_.Get());
  reader_ = std::thread([this] { ReadLoop(); });
  return {};
}

bool SharedLine::OpenElsewhere(const Member& member) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Only an open this site has not had yet: one that let the line go for a reason of its own
  // (its device could not be made) waits for its back-off.
  return !member.open && line_->is_open() && !lost_ && !opening_ &&
         member.generation != generation_;
}

void SharedLine::GiveUpOpening(Member& member) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The last site on the line: an open under way for it alone gives up.
  const bool alone = std::all_of(members_.begin(), members_.end(),
                                 [&](const Member* other) { return other == &member; });
  if (alone) line_->GiveUpOpening();
}

void SharedLine::Close(Member& member) {
  bool anyone_open = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    member.open = false;
    member.inbox.clear();
    // A closed line's descriptor leaves its loop's epoll set, as a serial port's does: the
    // site waits on a new one once it is open again.
    member.wake = Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), &member), waiting_.end());
    if (frame_owner_ == &member) frame_owner_ = nullptr;
    if (holder_ == &member) {
      holder_ = nullptr;
      PassTurn();
    }
    for (const Member* other : members_) anyone_open = anyone_open || other->open;
  }
  // The last site lets the line go. Never waited for: an open under way has it in hand.
  if (anyone_open || !open_mutex_.try_lock()) return;
  std::lock_guard<std::mutex> opening(open_mutex_, std::adopt_lock);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Member* other : members_) anyone_open = anyone_open || other->open;
    if (anyone_open) return;
    lost_ = true;
  }
  StopReader();
  line_->Close();
}

void SharedLine::Leave(Member& member) {
  Close(member);
  std::lock_guard<std::mutex> lock(mutex_);
  members_.erase(std::remove(members_.begin(), members_.end(), &member), members_.end());
}

bool SharedLine::TakeTurn(Member& member) {
  std::lock_guard<std::mutex> lock(mutex_);
  // On a lost line the write fails and the site finds the line gone.
  if (!Current(member)) return true;
  if (holder_ == &member) {  // a new query, and the one before it got no reply
    ++member.unanswered;
    holder_ = nullptr;
  }
  if (std::find(waiting_.begin(), waiting_.end(), &member) == waiting_.end()) {
    member.asked = std::chrono::steady_clock::now();
    waiting_.push_back(&member);
  }
  Member* next = holder_ == nullptr ? Next() : nullptr;
  if (next == &member) {
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &member));
    holder_ = &member;
    return true;
  }
  if (next != nullptr) Signal(next->wake.Get());
  Drain(member.wake.Get());  // it waits for the turn; nothing else is for it meanwhile
  if (!member.inbox.empty()) Signal(member.wake.Get());
  return false;
}

SharedLine::Member* SharedLine::Next() const {
  // A silent site waits behind those that answer, so that its time-outs do not lengthen every
  // query of theirs, and takes the line only once it has been quiet a moment (not in the pause
  // between another's reply and its next query); after kSilentWait it goes first.
  const auto now = std::chrono::steady_clock::now();
  Member* answering = nullptr;
  Member* silent = nullptr;
  for (Member* waiting : waiting_) {
    if (waiting->unanswered < kSilentAfter) {
      if (answering == nullptr) answering = waiting;
    } else if (silent == nullptr) {
      silent = waiting;
    }
  }
  if (silent != nullptr && now - silent->asked >= kSilentWait) return silent;
  if (answering != nullptr) return answering;
  if (silent != nullptr && now - last_reply_ >= kQuietBeforeSilent) return silent;
  return nullptr;
}

void SharedLine::PassTurn() {
  if (Member* next = Next()) Signal(next->wake.Get());
}

bool SharedLine::Write(Member& member, const unsigned char* bytes, std::size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Current(member)) return false;
  if (line_->Write(bytes, length)) return true;
  LoseLine();
  return false;
}

Line::ReadResult SharedLine::Read(Member& member, unsigned char* buffer, std::size_t capacity,
                                  std::size_t& received) {
  std::lock_guard<std::mutex> lock(mutex_);
  Drain(member.wake.Get());
  received = 0;
  if (!Current(member)) return Line::ReadResult::kGone;
  if (member.inbox.empty()) return Line::ReadResult::kNothing;
  received = std::min(capacity, member.inbox.size());
  std::memcpy(buffer, member.inbox.data(), received);
  member.inbox.erase(member.inbox.begin(), member.inbox.begin() + received);
  if (!member.inbox.empty()) Signal(member.wake.Get());
  return Line::ReadResult::kData;
}

Line::Foreign SharedLine::TakeForeign(Member& member) {
  std::lock_guard<std::mutex> lock(mutex_);
  Line::Foreign taken = std::move(member.foreign);
  member.foreign = Line::Foreign();
  return taken;
}

void SharedLine::LoseLine() {
  lost_ = true;
  holder_ = nullptr;
  waiting_.clear();
  for (Member* member : members_) Signal(member->wake.Get());
}

void SharedLine::StopReader() {
  if (!reader_.joinable()) return;
  Signal(stop_.Get());
  reader_.join();
}

void SharedLine::ReadLoop() {
  std::vector<unsigned char> buffer(4096);
  for (;;) {
    pollfd waits[2] = {{line_->fd(), POLLIN, 0}, {stop_.Get(), POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (waits[1].revents != 0) return;
    std::size_t received = 0;
    const Line::ReadResult result = line_->Read(buffer.data(), buffer.size(), received, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (result == Line::ReadResult::kGone) break;
    if (result == Line::ReadResult::kData) Route(buffer.data(), received);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  LoseLine();
}

void SharedLine::Route(const unsigned char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const char c = static_cast<char>(bytes[i]);
    if (c == kSoi) {
      if (!frame_.empty()) FrameEnded();  // cut off: handed on as it came
      frame_owner_ = holder_;
      frame_.assign(1, c);
    } else if (!frame_.empty()) {
      frame_.push_back(c);
      if (c == kEoi || frame_.size() >= kLongestFrame) FrameEnded();
    } else if (holder_ != nullptr) {  // noise between frames: the codec in flight counts it
      holder_->inbox.push_back(bytes[i]);
      Signal(holder_->wake.Get());
    }
  }
}

void SharedLine::FrameEnded() {
  Member* owner = frame_owner_;
  std::string frame = std::move(frame_);
  frame_.clear();
  frame_owner_ = nullptr;
  if (owner == nullptr) return;  // nothing was asked: nobody's reply
  const int address = FrameAddress(frame);
  if (address >= 0 && address != owner->address) {
    ++owner->foreign.count;
    if (owner->foreign.frames.size() < kForeignKept) owner->foreign.frames.push_back(frame);
    Signal(owner->wake.Get());
    return;
  }
  owner->unanswered = 0;
  last_reply_ = std::chrono::steady_clock::now();
  owner->inbox.insert(owner->inbox.end(), frame.begin(), frame.end());
  Signal(owner->wake.Get());
  // The reply is in: the line is free for the next site's query.
  if (frame.back() == kEoi && holder_ == owner) {
    holder_ = nullptr;
    PassTurn();
  }
}

}  // namespace k426b_host
