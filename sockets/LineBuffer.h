// Receive buffer of a socket in line mode: bytes are appended as they arrive,
// a line ends with (and includes) the line-end text, and the waiting line is
// read in pieces of any size. Pure logic, no socket.
//
// What has been read stays in front of a read position until it is worth
// dropping, so that many short lines read out of one arrival cost linear time.
#pragma once

#include <deque>
#include <string>

class TLineBuffer {
 public:
  // A copy of the unread bytes.
  std::string Data() const { return FData.substr(FHead); }
  int Received() const { return static_cast<int>(FData.size() - FHead); }
  // Length of the complete line waiting to be read (0 when none).
  int WaitingLine() const { return FLine; }
  void SetWaitingLine(int n) { FLine = n < 0 ? 0 : (n > Received() ? Received() : n); }

  // Appends new bytes and returns where the line-end search must restart, so
  // that a line end split across two arrivals is found.
  int Append(const char* p, int n, int lineEndLength);
  // Line editing of the bytes from `from` on: a backspace removes the last
  // character when there is one, a tab becomes blanks up to the next multiple of
  // 8. Returns what an echo must send back (empty unless `echo`).
  std::string Edit(int from, bool echo);
  // Looks for lineEnd from `start`; when found the waiting line becomes
  // everything up to and including it. Returns whether one was found.
  bool FindLine(int start, const std::string& lineEnd);
  // Reads up to `len` bytes: in line mode from the waiting line only, otherwise
  // any buffered bytes up to the next message end. What is read leaves the buffer.
  int Read(char* dst, int len, bool lineMode);
  void Clear();

  // Messages (datagrams) are kept apart: MarkMessageEnd after appending one
  // message; a line then never runs past its end (its unfinished end is a line
  // of its own), and a raw read stops there too.
  void MarkMessageEnd();
  // Bytes a raw read can take now: up to the next message end.
  int RawAvailable() const;
  // True when nothing is buffered after the last line end (no partial line).
  bool EndsWithLineEnd(const std::string& lineEnd) const;
  // Drops everything up to and including the first line end and returns true;
  // without one, drops all but what could still begin a line end, and returns false.
  bool SkipPastLineEnd(const std::string& lineEnd);

 private:
  // Drops the bytes already read when they are most of the buffer.
  void Compact();

  // The first message end after the read position (npos when none).
  size_t NextMessageEnd() const { return FEnds.empty() ? std::string::npos : FEnds.front(); }
  void DropReadMessageEnds();

  std::string FData;
  size_t FHead = 0;  // bytes of FData already read
  int FLine = 0;
  std::deque<size_t> FEnds;  // message ends, as offsets into FData, in order
};
