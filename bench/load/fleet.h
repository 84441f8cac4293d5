// Many loopback clients in one thread: non-blocking connects, sends and line-by-line reading,
// all waited on with one epoll set. Every scenario whose developers read in one loop drives
// them through a Fleet and is told of each event: the sessions and churn scenarios by lines, the
// host-call scenario by bytes alone. Every wait is bounded by its caller's time limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qc::load {

class Fleet {
 public:
  // What happens to the clients, told during Wait.
  struct Events {
    virtual ~Events() = default;
    // The connect of client id has completed.
    virtual void Connected(int) {}
    // Every receive of client id, before its lines are told.
    virtual void Received(int, std::size_t) {}
    // One whole line (with its line feed) that client id received (not told without lines).
    virtual void Line(int, const char*, std::size_t) {}
    // Client id's connection ended from the other side (end of stream, reset or a failed
    // connect); it is closed now. reset: by an error rather than an orderly end.
    virtual void Closed(int, bool) {}
  };

  // Room for clients 0 .. capacity - 1. Without lines, what they receive is only counted.
  explicit Fleet(int capacity, bool lines = true);
  ~Fleet();
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  // Starts connecting client id (which must be closed) to 127.0.0.1:port. receiveBuffer > 0
  // sets the socket's receive buffer first (a client that will stop reading fills sooner).
  // False when no socket could be made.
  bool Open(int id, std::uint16_t port, int receiveBuffer = 0);
  // Takes over socket s, already connected, as client id (which must be closed).
  bool Adopt(int id, int s, bool connecting = false);
  int Socket(int id) const { return clients_[static_cast<std::size_t>(id)].socket; }
  // Sends text; what the socket does not take at once is kept and sent when it can be.
  // Returns true when the whole text went at once.
  bool Send(int id, const std::string& text);
  // Closes client id: with reset, by a reset (SO_LINGER 0) instead of an orderly end. No Closed
  // event follows.
  void Close(int id, bool reset);
  // A paused client reads nothing until resumed (its peer's sends back up); an end of its
  // connection is still told.
  void Pause(int id, bool paused);
  bool IsOpen(int id) const { return clients_[static_cast<std::size_t>(id)].socket >= 0; }
  int OpenCount() const { return open_; }

  // Waits up to millis for events and tells each one. Returns the number handled.
  int Wait(int millis, Events& events);

 private:
  struct Client {
    int socket = -1;
    bool connecting = false;
    bool paused = false;
    std::string partial;  // a line received so far
    std::string unsent;
  };
  void Update(int id);
  void Read(int id, Events& events);
  void Drop(int id, bool reset, Events& events);

  int epoll_;
  bool lines_;
  int open_ = 0;
  std::vector<Client> clients_;
  std::vector<char> buffer_;
};

}  // namespace qc::load
