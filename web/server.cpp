// The page's server over Boost.Beast: one thread runs every HTTP and WebSocket connection;
// each pane's console connection runs on the pane's own thread (pane.cpp), which posts what it
// has for the page onto this one (the way of a typed line is told in pane.h).
#include "web/server.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio.hpp>
#include <boost/beast.hpp>

#include "web/limits.h"
#include "web/messages.h"
#include "web/page_files.h"

namespace qc::web {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

class HttpConnection;

struct Server {
  AccessRules rules;
  ConsoleSettings consoles;
  SharedPassword* password = nullptr;
  // The connections that have not yet sent a request with the token, oldest first (Beast's
  // thread only).
  std::list<HttpConnection*> waiting;
};

std::string_view ContentType(std::string_view name) {
  auto endsWith = [&](std::string_view tail) {
    return name.size() >= tail.size() && name.substr(name.size() - tail.size()) == tail;
  };
  if (endsWith(".html")) return "text/html; charset=utf-8";
  if (endsWith(".css")) return "text/css; charset=utf-8";
  if (endsWith(".js")) return "text/javascript; charset=utf-8";
  if (endsWith(".svg")) return "image/svg+xml";
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
  // No Server header: nothing tells a stranger what serves the page.
  Response response{status, request.version()};
  response.set(http::field::content_type, type);
  response.set(http::field::cache_control, "no-store");
  // The page loads nothing from elsewhere, is framed by no other page, takes no base address
  // from markup, submits no form anywhere (its forms are handled by its script), and sends no
  // referrer (its address carries the token).
  response.set("Content-Security-Policy",
               "default-src 'self'; connect-src 'self'; frame-ancestors 'none'; "
               "base-uri 'none'; form-action 'none'");
  response.set("X-Frame-Options", "DENY");
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Referrer-Policy", "no-referrer");
  response.keep_alive(request.keep_alive());
  response.body() = std::move(body);
  response.prepare_payload();
  if (request.method() == http::verb::head) response.body().clear();
  return response;
}

// The page's TCP stream for its WebSocket, which takes the Server header out of the one
// response Beast writes itself, the handshake's (Beast names itself and its version there, and
// nothing should tell a stranger what serves the page). Everything else passes through.
class PageStream {
 public:
  using executor_type = beast::tcp_stream::executor_type;

  explicit PageStream(tcp::socket socket) : next_(std::move(socket)) {}
  executor_type get_executor() noexcept { return next_.get_executor(); }
  beast::tcp_stream& next_layer() noexcept { return next_; }

  template <class Buffers, class Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    next_.async_read_some(buffers, std::forward<Handler>(handler));
  }

  template <class Buffers, class Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    if (handshakeWritten_) return next_.async_write_some(buffers, std::forward<Handler>(handler));
    handshakeWritten_ = true;
    const std::size_t size = net::buffer_size(buffers);
    auto text = std::make_shared<std::string>(beast::buffers_to_string(buffers));
    constexpr std::string_view kField = "\r\nServer:";
    const std::size_t field = text->find(kField);
    const std::size_t end = field == std::string::npos ? field : text->find("\r\n", field + 2);
    if (end != std::string::npos) text->erase(field, end - field);
    // The caller is told its bytes were written, as they were, less the field.
    net::async_write(
        next_, net::buffer(*text),
        [text, size, handler = std::forward<Handler>(handler)](
            beast::error_code error, std::size_t) mutable { handler(error, error ? 0 : size); });
  }

 private:
  beast::tcp_stream next_;
  bool handshakeWritten_ = false;
};

// How the WebSocket's closing ends the TCP connection under it, as for a bare one.
template <class Handler>
void async_teardown(beast::role_type role, PageStream& stream, Handler&& handler) {
  websocket::async_teardown(role, stream.next_layer().socket(), std::forward<Handler>(handler));
}

// One page's WebSocket: a pane, or the lister. The page's messages and the answers are JSON
// objects (messages.h); one that cannot be read is answered with an error, and nothing closes.
class PageSocket : public std::enable_shared_from_this<PageSocket> {
 public:
  PageSocket(tcp::socket socket, Server& server) : ws_(std::move(socket)), server_(server) {}

  void Accept(Request request) {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(kPageMessageBytes);
    ws_.async_accept(request, beast::bind_front_handler(&PageSocket::OnAccept, shared_from_this()));
  }

 private:
  void OnAccept(beast::error_code error) {
    if (!error) Read();
  }

  void Read() {
    ws_.async_read(buffer_, beast::bind_front_handler(&PageSocket::OnMessage, shared_from_this()));
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
    PageRequest request;
    std::string error;
    if (!ReadPageRequest(text, request, error)) {
      return Send(ErrorMessage("quillaret-web could not read a message of the page: " + error +
                               "; it was left out"));
    }
    using Kind = PageRequest::Kind;
    if (request.kind == Kind::kList || request.kind == Kind::kOpen) {
      if (pane_) return Send(ErrorMessage("this socket has its pane already"));
      return Open(request.kind == Kind::kList ? std::string() : request.text);
    }
    if (!pane_) return Send(ErrorMessage("no pane is open on this socket"));
    switch (request.kind) {
      case Kind::kLine:
        return pane_->Submit(std::move(request.text));
      case Kind::kPassword:
        return pane_->GivePassword(std::move(request.text));
      case Kind::kRefresh:
        return pane_->Refresh();
      case Kind::kHistory:
        return pane_->AskHistory();
      case Kind::kComplete:
        return pane_->AskCompletion(std::move(request.text));
      case Kind::kQuit:
        pane_->Close();
        pane_.reset();
        return;
      default:
        return;
    }
  }

  void Open(const std::string& object) {
    std::weak_ptr<PageSocket> weak = weak_from_this();
    auto emit = [weak](std::string message) {
      if (auto self = weak.lock()) {
        self->unsent_ += message.size();
        net::post(self->ws_.get_executor(), [self, message = std::move(message)]() mutable {
          self->Queue(std::move(message));
        });
      }
    };
    auto congested = [weak] {
      auto self = weak.lock();
      return self && self->unsent_.load() > kCongestedBytes;
    };
    pane_ = Pane::Start(server_.consoles, *server_.password, object, emit, congested);
    if (pane_) return;
    const std::string text =
        object.empty() ? "quillaret-web keeps " + std::to_string(kMaxListers) +
                             " lists of consoles at most, one for each open page: close a page"
                       : "not opened: quillaret-web holds " + std::to_string(kMaxPanes) +
                             " panes at most, for every page together; close one to open "
                             "another";
    Send(Serialize({{"t", "state"}, {"state", "full"}, {"text", text}}));
  }

  // Sends from Beast's thread.
  void Send(std::string message) {
    unsent_ += message.size();
    Queue(std::move(message));
  }

  void Closed() {
    closed_ = true;
    queue_.clear();
    if (pane_) pane_->Close();
    pane_.reset();
  }

  void Queue(std::string message) {
    if (closed_) {
      unsent_ -= message.size();
      return;
    }
    queue_.push_back(std::move(message));
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
      for (const std::string& message : queue_) unsent_ -= message.size();
      Closed();
      return;
    }
    if (!queue_.empty()) Write();
  }

  websocket::stream<PageStream> ws_;
  Server& server_;
  beast::flat_buffer buffer_;
  std::deque<std::string> queue_;
  std::atomic<std::size_t> unsent_{0};
  bool writing_ = false;
  bool closed_ = false;
  std::shared_ptr<Pane> pane_;
};

// How many times a header came, and its first value.
int CountOf(const Request& request, http::field field, std::string_view& first) {
  const auto range = request.equal_range(field);
  int count = 0;
  for (auto it = range.first; it != range.second; ++it) {
    if (count++ == 0) first = std::string_view(it->value().data(), it->value().size());
  }
  return count;
}

// One HTTP connection: the page's files, or the upgrade to a PageSocket. Until it has sent a
// request with the token it is one of the server's waiting connections (limits.h).
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(tcp::socket socket, Server& server)
      : stream_(std::move(socket)), server_(server) {}
  ~HttpConnection() { Proven(); }

  // Starts reading; when more connections wait than the limit, the oldest one is let go.
  void Start() {
    server_.waiting.push_back(this);
    place_ = std::prev(server_.waiting.end());
    listed_ = true;
    if (server_.waiting.size() > static_cast<std::size_t>(kMaxWaitingConnections)) {
      HttpConnection* oldest = server_.waiting.front();
      oldest->Proven();
      oldest->stream_.close();
    }
    Read();
  }

 private:
  void Proven() {
    if (!listed_) return;
    server_.waiting.erase(place_);
    listed_ = false;
  }

  void Read() {
    parser_.emplace();
    parser_->header_limit(kRequestBytes);
    parser_->body_limit(kRequestBytes);
    stream_.expires_after(std::chrono::seconds(listed_ ? kRequestSeconds : kIdleSeconds));
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpConnection::OnRead, shared_from_this()));
  }

  void OnRead(beast::error_code error, std::size_t) {
    if (error) {
      stream_.socket().shutdown(tcp::socket::shutdown_both, error);
      return;
    }
    Request request = parser_->release();
    RequestHeaders headers;
    headers.target = std::string_view(request.target().data(), request.target().size());
    headers.hostCount = CountOf(request, http::field::host, headers.host);
    headers.originCount = CountOf(request, http::field::origin, headers.origin);
    headers.transferEncodingCount =
        CountOf(request, http::field::transfer_encoding, headers.transferEncoding);
    std::string path;
    const Verdict verdict = CheckRequest(server_.rules, headers, path);
    const auto text = "text/plain; charset=utf-8";
    auto refuse = [&](http::status status, std::string body) {
      // A refused request ends its connection: what follows it cannot be trusted to be read
      // as the client meant.
      Response response = MakeResponse(request, status, text, std::move(body));
      response.keep_alive(false);
      Reply(std::move(response));
    };
    switch (verdict) {
      case Verdict::kMalformed:
        return refuse(http::status::bad_request,
                      "quillaret-web: Host or Origin twice, or a Transfer-Encoding other than "
                      "chunked\n");
      case Verdict::kNoToken:
        return refuse(http::status::forbidden,
                      "quillaret-web: open the address printed at start; it carries the token\n");
      case Verdict::kWrongHost:
        return refuse(http::status::forbidden, "quillaret-web: Host names another address\n");
      case Verdict::kWrongOrigin:
        return refuse(http::status::forbidden,
                      "quillaret-web: requests from other sites are refused\n");
      case Verdict::kAllowed:
        break;
    }
    Proven();
    if (websocket::is_upgrade(request)) {
      if (path != "ws") return refuse(http::status::not_found, "no such socket\n");
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
    Reply(
        MakeResponse(request, http::status::ok, ContentType(file->name), std::string(file->bytes)));
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
  std::list<HttpConnection*>::iterator place_;
  bool listed_ = false;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

void Accept(tcp::acceptor& acceptor, Server& server) {
  acceptor.async_accept([&acceptor, &server](beast::error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted) return;
    if (!error) {
      std::make_shared<HttpConnection>(std::move(socket), server)->Start();
      Accept(acceptor, server);
      return;
    }
    // Out of descriptors, say: tried again a little later (kAcceptPauseMillis).
    auto pause = std::make_shared<net::steady_timer>(acceptor.get_executor(),
                                                     std::chrono::milliseconds(kAcceptPauseMillis));
    pause->async_wait([&acceptor, &server, pause](beast::error_code) {
      if (acceptor.is_open()) Accept(acceptor, server);
    });
  });
}

}  // namespace

int RunServer(const WebOptions& options, const ConsoleSettings& consoles, SharedPassword& password,
              const std::string& token) {
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
    std::printf(
        "quillaret-web: serving on %s: whoever reaches it with the address below can "
        "run script in the game\n",
        options.listenAddress.c_str());
  }
  std::printf("quillaret-web: open http://%s:%u/%s/ in a browser; Ctrl-C stops\n", shown.c_str(),
              unsigned{server.rules.port}, token.c_str());
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
