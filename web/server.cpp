// The page's server over Boost.Beast: one thread runs every HTTP and WebSocket connection;
// each pane's console connection runs on the pane's own thread (pane.cpp), which posts what it
// has for the page onto this one.
#include "web/server.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio.hpp>
#include <boost/beast.hpp>

#include "web/page_files.h"

namespace qc::web {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// What one request may hold, how long a silent HTTP connection is kept, and how much may wait
// unsent to one page's WebSocket before its pane stops reading the console.
constexpr std::size_t kRequestBytes = 16 * 1024;
constexpr int kIdleSeconds = 60;
constexpr std::size_t kMessageBytes = 1024 * 1024;
constexpr std::size_t kCongestedBytes = 4 * 1024 * 1024;
// How long the panes have to leave their consoles when the program stops.
constexpr int kStopMillis = 7000;

struct Server {
  AccessRules rules;
  ConsoleSettings consoles;
  SharedPassword* password = nullptr;
};

std::string_view ContentType(std::string_view name) {
  auto endsWith = [&](std::string_view tail) {
    return name.size() >= tail.size() && name.substr(name.size() - tail.size()) == tail;
  };
  if (endsWith(".html")) return "text/html; charset=utf-8";
  if (endsWith(".css")) return "text/css; charset=utf-8";
  if (endsWith(".js")) return "text/javascript; charset=utf-8";
  return "application/octet-stream";
}

const PageFile* FindPageFile(std::string_view path) {
  if (path.empty()) path = "index.html";
  for (std::size_t i = 0; i < kPageFileCount; ++i) {
    if (kPageFiles[i].name == path) return &kPageFiles[i];
  }
  return nullptr;
}

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

Response MakeResponse(const Request& request, http::status status, std::string_view type,
                      std::string body) {
  Response response{status, request.version()};
  response.set(http::field::server, "quillaret-web");
  response.set(http::field::content_type, type);
  response.set(http::field::cache_control, "no-store");
  // The page loads nothing from elsewhere, is framed by no other page, and sends no referrer
  // (its address carries the token).
  response.set("Content-Security-Policy",
               "default-src 'self'; connect-src 'self'; frame-ancestors 'none'");
  response.set("X-Frame-Options", "DENY");
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Referrer-Policy", "no-referrer");
  response.keep_alive(request.keep_alive());
  response.body() = std::move(body);
  response.prepare_payload();
  if (request.method() == http::verb::head) response.body().clear();
  return response;
}

// One page's WebSocket: a pane, or the lister. Messages from the page are one letter and a
// text: O<object> opens the pane, S the lister, L<line> sends a line, P<password> answers the
// prompt, R asks for a new listing, Q leaves the console.
class PageSocket : public std::enable_shared_from_this<PageSocket> {
 public:
  PageSocket(tcp::socket socket, Server& server) : ws_(std::move(socket)), server_(server) {}

  void Accept(Request request) {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(kMessageBytes);
    ws_.async_accept(request, beast::bind_front_handler(&PageSocket::OnAccept,
                                                        shared_from_this()));
  }

 private:
  void OnAccept(beast::error_code error) {
    if (!error) Read();
  }

  void Read() {
    ws_.async_read(buffer_, beast::bind_front_handler(&PageSocket::OnMessage,
                                                      shared_from_this()));
  }

  void OnMessage(beast::error_code error, std::size_t) {
    if (error) {
      Closed();
      return;
    }
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    Handle(text);
    Read();
  }

  void Handle(const std::string& text) {
    if (text.empty()) return;
    const char what = text[0];
    std::string rest = text.substr(1);
    if ((what == 'O' || what == 'S') && !pane_) {
      if (what == 'O' && rest.empty()) return;
      std::weak_ptr<PageSocket> weak = weak_from_this();
      auto emit = [weak](std::string json) {
        if (auto self = weak.lock()) {
          self->unsent_ += json.size();
          net::post(self->ws_.get_executor(),
                    [self, json = std::move(json)]() mutable { self->Queue(std::move(json)); });
        }
      };
      auto congested = [weak] {
        auto self = weak.lock();
        return self && self->unsent_.load() > kCongestedBytes;
      };
      pane_ = Pane::Start(server_.consoles, *server_.password, what == 'O' ? rest : "", emit,
                          congested);
    } else if (pane_ && what == 'L') {
      pane_->Submit(std::move(rest));
    } else if (pane_ && what == 'P') {
      pane_->GivePassword(std::move(rest));
    } else if (pane_ && what == 'R') {
      pane_->Refresh();
    } else if (pane_ && what == 'Q') {
      pane_->Close();
      pane_.reset();
    }
  }

  void Closed() {
    closed_ = true;
    queue_.clear();
    if (pane_) pane_->Close();
    pane_.reset();
  }

  void Queue(std::string json) {
    if (closed_) {
      unsent_ -= json.size();
      return;
    }
    queue_.push_back(std::move(json));
    if (!writing_) Write();
  }

  void Write() {
    writing_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(queue_.front()),
                    beast::bind_front_handler(&PageSocket::OnWritten, shared_from_this()));
  }

  void OnWritten(beast::error_code error, std::size_t) {
    writing_ = false;
    if (queue_.empty()) return;
    unsent_ -= queue_.front().size();
    queue_.pop_front();
    if (error) {
      for (const std::string& json : queue_) unsent_ -= json.size();
      Closed();
      return;
    }
    if (!queue_.empty()) Write();
  }

  websocket::stream<beast::tcp_stream> ws_;
  Server& server_;
  beast::flat_buffer buffer_;
  std::deque<std::string> queue_;
  std::atomic<std::size_t> unsent_{0};
  bool writing_ = false;
  bool closed_ = false;
  std::shared_ptr<Pane> pane_;
};

// One HTTP connection: the page's files, or the upgrade to a PageSocket.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(tcp::socket socket, Server& server)
      : stream_(std::move(socket)), server_(server) {}

  void Read() {
    parser_.emplace();
    parser_->header_limit(kRequestBytes);
    parser_->body_limit(kRequestBytes);
    stream_.expires_after(std::chrono::seconds(kIdleSeconds));
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpConnection::OnRead, shared_from_this()));
  }

 private:
  void OnRead(beast::error_code error, std::size_t) {
    if (error) {
      stream_.socket().shutdown(tcp::socket::shutdown_both, error);
      return;
    }
    Request request = parser_->release();
    const auto origin = request.find(http::field::origin);
    std::string path;
    const Verdict verdict = CheckRequest(
        server_.rules, request.target(), request[http::field::host], origin != request.end(),
        origin != request.end() ? std::string_view(origin->value()) : std::string_view(), path);
    const auto text = "text/plain; charset=utf-8";
    if (verdict == Verdict::kNoToken) {
      return Reply(MakeResponse(request, http::status::forbidden, text,
                                "quillaret-web: open the address printed at start; it carries "
                                "the token\n"));
    }
    if (verdict == Verdict::kWrongHost) {
      return Reply(MakeResponse(request, http::status::forbidden, text,
                                "quillaret-web: Host names another address\n"));
    }
    if (verdict == Verdict::kWrongOrigin) {
      return Reply(MakeResponse(request, http::status::forbidden, text,
                                "quillaret-web: requests from other sites are refused\n"));
    }
    if (websocket::is_upgrade(request)) {
      if (path != "ws") {
        return Reply(MakeResponse(request, http::status::not_found, text, "no such socket\n"));
      }
      stream_.expires_never();
      std::make_shared<PageSocket>(stream_.release_socket(), server_)->Accept(std::move(request));
      return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      return Reply(MakeResponse(request, http::status::method_not_allowed, text,
                                "quillaret-web serves GET only\n"));
    }
    const PageFile* file = FindPageFile(path);
    if (file == nullptr) {
      return Reply(MakeResponse(request, http::status::not_found, text, "no such file\n"));
    }
    Reply(MakeResponse(request, http::status::ok, ContentType(file->name),
                       std::string(file->bytes)));
  }

  void Reply(Response response) {
    auto held = std::make_shared<Response>(std::move(response));
    http::async_write(stream_, *held,
                      [self = shared_from_this(), held](beast::error_code error, std::size_t) {
                        if (error || held->need_eof()) {
                          self->stream_.socket().shutdown(tcp::socket::shutdown_send, error);
                          return;
                        }
                        self->Read();
                      });
  }

  beast::tcp_stream stream_;
  Server& server_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

void Accept(tcp::acceptor& acceptor, Server& server) {
  acceptor.async_accept([&acceptor, &server](beast::error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted) return;
    if (!error) {
      std::make_shared<HttpConnection>(std::move(socket), server)->Read();
      Accept(acceptor, server);
      return;
    }
    // Out of descriptors, say: try again a little later rather than at once, for ever.
    auto pause = std::make_shared<net::steady_timer>(acceptor.get_executor(),
                                                     std::chrono::milliseconds(100));
    pause->async_wait([&acceptor, &server, pause](beast::error_code) {
      if (acceptor.is_open()) Accept(acceptor, server);
    });
  });
}

}  // namespace

int RunServer(const WebOptions& options, const ConsoleSettings& consoles,
              SharedPassword& password, const std::string& token) {
  net::io_context context{1};
  tcp::acceptor acceptor{context};
  beast::error_code error;
  const tcp::endpoint endpoint{net::ip::make_address_v4(options.listenAddress, error),
                               options.listenPort};
  if (!error) acceptor.open(endpoint.protocol(), error);
  if (!error && ListenerMayReuseAddress()) {
    acceptor.set_option(net::socket_base::reuse_address(true), error);
  }
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(net::socket_base::max_listen_connections, error);
  if (error) {
    std::fprintf(stderr, "quillaret-web: cannot serve on %s:%u: %s\n",
                 options.listenAddress.c_str(), unsigned{options.listenPort},
                 error.message().c_str());
    return kExitCannotServe;
  }
  Server server;
  server.rules.token = token;
  server.rules.listenAddress = options.listenAddress;
  server.rules.port = acceptor.local_endpoint().port();
  server.consoles = consoles;
  server.password = &password;

  const std::string shown =
      options.listenAddress == "0.0.0.0" ? "127.0.0.1" : options.listenAddress;
  std::printf("quillaret-web: the consoles of %s from port %d\n", consoles.host.c_str(),
              consoles.basePort);
  if (options.listenAddress != "127.0.0.1") {
    std::printf("quillaret-web: serving on %s: whoever reaches it with the address below can "
                "run script in the game\n",
                options.listenAddress.c_str());
  }
  std::printf("quillaret-web: open http://%s:%u/%s/ in a browser; Ctrl-C stops\n",
              shown.c_str(), unsigned{server.rules.port}, token.c_str());
  std::fflush(stdout);

  Accept(acceptor, server);
  net::signal_set signals{context, SIGINT, SIGTERM};
  signals.async_wait([&](beast::error_code, int) {
    std::printf("quillaret-web: stopping; the panes leave their consoles\n");
    std::fflush(stdout);
    acceptor.close();
    (void)CloseAllPanes(kStopMillis);
    context.stop();
  });
  context.run();
  return kExitOk;
}

}  // namespace qc::web
