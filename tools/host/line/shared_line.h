#pragma once

// One line shared by several power systems, each answering only its own address (an RS-485
// pair, or one port of a serial device server in front of several): the line is opened and
// locked once, and each site sees a Line of its own (SharedLine::Join).
//
// One query is in flight on the line at a time. A site asks for its turn before it writes a
// query (Line::TakeTurn); while another's query is in flight it waits, and the turn passes in
// the order asked for, so no site starves another. The turn is given back when the reply has
// come, or when the site writes its next query (also the repeat after a reply time-out): a site
// in its quiet time does not hold the line. A site whose equipment has stopped answering waits
// behind the others (Next), so its reply time-outs fall in their quiet times, not between
// their queries.
//
// A thread of the line's own reads it and cuts what comes into frames (SOI to EOI). A frame is
// handed to the site whose query is in flight only when its ADR is that site's address; a frame
// from another address is dropped and told to that site as a frame error (Line::TakeForeign).
// Bytes outside a frame and frames whose head cannot be read go to the site in flight, whose
// codec judges them as it would on a line of its own. A lost line is lost for every site on it.

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/fd.h"
#include "tools/host/line/line.h"

namespace k426b_host {

class SharedLine : public std::enable_shared_from_this<SharedLine> {
 public:
  // Frames from a foreign address kept as examples between two TakeForeign calls; the rest are
  // only counted.
  static constexpr std::size_t kForeignKept = 16;
  // A site whose last kSilentAfter queries went unanswered is silent: it has the line only when
  // no site that answers waits for it and no reply has come for kQuietBeforeSilent, or once it
  // has waited kSilentWait. Its equipment, back on the line, is heard within that wait.
  static constexpr unsigned kSilentAfter = 2;
  static constexpr std::chrono::milliseconds kQuietBeforeSilent{200};
  static constexpr std::chrono::seconds kSilentWait{10};

  explicit SharedLine(std::unique_ptr<Line> line);
  ~SharedLine();
  SharedLine(const SharedLine&) = delete;
  SharedLine& operator=(const SharedLine&) = delete;

  // The line as the site with equipment `address` sees it.
  std::unique_ptr<Line> Join(int address);

  struct Member;  // one site's share, the line's own

  std::string Open(Member& member);
  void Close(Member& member);
  void Leave(Member& member);
  bool TakeTurn(Member& member);
  bool Write(Member& member, const unsigned char* bytes, std::size_t length);
  Line::ReadResult Read(Member& member, unsigned char* buffer, std::size_t capacity,
                        std::size_t& received);
  Line::Foreign TakeForeign(Member& member);
  const std::string& path() const { return path_; }
  void GiveUpOpening(Member& member);
  bool OpenElsewhere(const Member& member);

 private:
  void StopReader();
  void ReadLoop();
  void Route(const unsigned char* bytes, std::size_t length);  // with mutex_ held
  void FrameEnded();                                           // with mutex_ held
  void PassTurn();                                             // with mutex_ held
  Member* Next() const;  // whose turn it is among those waiting; with mutex_ held
  void LoseLine();       // with mutex_ held
  bool Current(const Member& member) const;  // with mutex_ held

  const std::unique_ptr<Line> line_;
  const std::string path_;
  // Held while the line is opened or closed (which may take seconds), never by a serial loop
  // except with try_lock.
  std::mutex open_mutex_;
  std::mutex mutex_;  // everything below
  std::vector<Member*> members_;
  unsigned long long generation_ = 0;  // counts the opens
  bool lost_ = false;
  bool opening_ = false;
  Member* holder_ = nullptr;                            // whose query is in flight
  std::chrono::steady_clock::time_point last_reply_{};  // of any site
  std::deque<Member*> waiting_;
  std::string frame_;  // the frame coming in, from its SOI
  Member* frame_owner_ = nullptr;
  Fd stop_;  // an eventfd: the reader is to stop
  std::thread reader_;
};

}  // namespace k426b_host
