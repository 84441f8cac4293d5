// The client fleet; see fleet.h.
#include "load/fleet.h"

#include "load/load_support.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qc::load {

Fleet::Fleet(int capacity, bool lines)
    : epoll_(epoll_create1(0)),
      lines_(lines),
      clients_(static_cast<std::size_t>(capacity)),
      buffer_(65536) {}

Fleet::~Fleet() {
  for (Client& client : clients_) {
    if (client.socket >= 0) close(client.socket);
  }
  if (epoll_ >= 0) close(epoll_);
}

bool Fleet::Open(int id, std::uint16_t port, int receiveBuffer) {
  const int s = ClientSocket(receiveBuffer);
  if (s < 0) return false;
  const sockaddr_in address = LoopbackAddress(port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS) {
    close(s);
    return false;
  }
  return Adopt(id, s, true);
}

bool Fleet::Adopt(int id, int s, bool connecting) {
  Client& client = clients_[static_cast<std::size_t>(id)];
  client = Client{};
  client.socket = s;
  client.connecting = connecting;
  epoll_event event{};
  event.events = connecting ? EPOLLOUT : EPOLLIN | EPOLLRDHUP;
  event.data.u32 = static_cast<std::uint32_t>(id);
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, s, &event) != 0) {
    close(s);
    client.socket = -1;
    return false;
  }
  ++open_;
  return true;
}

// Asks epoll for what the client waits on now: the end of its connect, room for unsent bytes,
// and (unless paused) input.
void Fleet::Update(int id) {
  const Client& client = clients_[static_cast<std::size_t>(id)];
  epoll_event event{};
  event.data.u32 = static_cast<std::uint32_t>(id);
  if (client.connecting || !client.unsent.empty()) event.events |= EPOLLOUT;
  if (!client.connecting && !client.paused) event.events |= EPOLLIN | EPOLLRDHUP;
  (void)epoll_ctl(epoll_, EPOLL_CTL_MOD, client.socket, &event);
}

bool Fleet::Send(int id, const std::string& text) {
  Client& client = clients_[static_cast<std::size_t>(id)];
  if (client.socket < 0) return false;
  if (client.connecting || !client.unsent.empty()) {
    client.unsent += text;
    return false;
  }
  const ssize_t n = send(client.socket, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  const std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
  if (sent == text.size()) return true;
  client.unsent.assign(text, sent, std::string::npos);
  Update(id);
  return false;
}

void Fleet::Close(int id, bool reset) {
  Client& client = clients_[static_cast<std::size_t>(id)];
  if (client.socket < 0) return;
  if (reset) {
    const linger abort{1, 0};
    (void)setsockopt(client.socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  (void)epoll_ctl(epoll_, EPOLL_CTL_DEL, client.socket, nullptr);
  close(client.socket);
  client = Client{};
  --open_;
}

void Fleet::Pause(int id, bool paused) {
  Client& client = clients_[static_cast<std::size_t>(id)];
  if (client.socket < 0 || client.paused == paused) return;
  client.paused = paused;
  Update(id);
}

void Fleet::Drop(int id, bool reset, Events& events) {
  Close(id, false);
  events.Closed(id, reset);
}

void Fleet::Read(int id, Events& events) {
  Client& client = clients_[static_cast<std::size_t>(id)];
  const ssize_t n = recv(client.socket, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    Drop(id, n < 0, events);
    return;
  }
  events.Received(id, static_cast<std::size_t>(n));
  if (!lines_) return;
  const char* at = buffer_.data();
  const char* end = at + n;
  while (at < end) {
    const char* feed =
        static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
    if (feed == nullptr) {
      client.partial.append(at, end);
      return;
    }
    const int socket = client.socket;
    if (client.partial.empty()) {
      events.Line(id, at, static_cast<std::size_t>(feed + 1 - at));
    } else {
      client.partial.append(at, feed + 1);
      const std::string line = std::move(client.partial);
      client.partial.clear();
      events.Line(id, line.data(), line.size());
    }
    // The handler may have closed the client (and another may have taken its place).
    if (clients_[static_cast<std::size_t>(id)].socket != socket) return;
    at = feed + 1;
  }
}

int Fleet::Wait(int millis, Events& events) {
  epoll_event ready[256];
  const int count = epoll_wait(epoll_, ready, 256, millis);
  for (int i = 0; i < count; ++i) {
    const int id = static_cast<int>(ready[i].data.u32);
    Client& client = clients_[static_cast<std::size_t>(id)];
    if (client.socket < 0) continue;  // closed by an earlier event's handler
    const std::uint32_t what = ready[i].events;
    if (client.connecting) {
      int error = 0;
      socklen_t length = sizeof error;
      (void)getsockopt(client.socket, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0 || (what & (EPOLLERR | EPOLLHUP)) != 0) {
        Drop(id, true, events);
        continue;
      }
      client.connecting = false;
      Update(id);
      events.Connected(id);
      if (client.socket < 0) continue;
    }
    if ((what & EPOLLOUT) != 0 && !client.unsent.empty()) {
      const ssize_t n = send(client.socket, client.unsent.data(), client.unsent.size(),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) client.unsent.erase(0, static_cast<std::size_t>(n));
      if (client.unsent.empty()) Update(id);
    }
    if ((what & (EPOLLIN | EPOLLRDHUP)) != 0 && !client.paused) {
      Read(id, events);
    } else if ((what & (EPOLLERR | EPOLLHUP)) != 0) {
      Drop(id, true, events);
    }
  }
  return count < 0 ? 0 : count;
}

}  // namespace qc::load
