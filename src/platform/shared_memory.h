// The kernel objects of the game ticket: a named, owner-only shared memory
// object and an event the started game sets once it has taken the ticket.
// Both are created and released by one thread; their descriptors are
// close-on-exec and reach a child only when it is started with them
// (TSpawnOptions::inheritfds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vantrel::platform {

// A POSIX shared memory object "/" + name of a fixed size, mode 0600,
// mapped read-write. A leftover object of that name (from a launcher that
// ended before it released its ticket) is replaced. The destructor unmaps
// and closes it and removes the name, unless the name meanwhile denotes
// another object.
class TSharedMemory {
 public:
  // Raises EOSError when the object cannot be created, sized or mapped.
  TSharedMemory(const std::string& name, size_t size);
  ~TSharedMemory();
  TSharedMemory(const TSharedMemory&) = delete;
  TSharedMemory& operator=(const TSharedMemory&) = delete;

  std::span<uint8_t> Bytes() { return {static_cast<uint8_t*>(view_), size_}; }
  int Handle() const { return fd_; }
  // The object's name as shm_open takes it ("/" + name).
  const std::string& SystemName() const { return name_; }

 private:
  std::string name_;
  size_t size_;
  int fd_ = -1;
  void* view_ = nullptr;
};

// An event over eventfd: not set when created; set by writing a non-zero
// 8-byte count to the descriptor (what the game does) and then stays set,
// since nobody reads the count back.
class TEventDescriptor {
 public:
  // Raises EOSError when the descriptor cannot be created.
  TEventDescriptor();
  ~TEventDescriptor();
  TEventDescriptor(const TEventDescriptor&) = delete;
  TEventDescriptor& operator=(const TEventDescriptor&) = delete;

  int Handle() const { return fd_; }
  void Set();
  // Waits until the event (or also, when given) is set or timeoutms have
  // passed; true when one of them is set.
  bool WaitFor(int timeoutms, const TEventDescriptor* also = nullptr) const;

 private:
  int fd_ = -1;
};

}  // namespace vantrel::platform
