// SPDX-License-Identifier: MIT
#include "transport/http_server.h"

#include "transport/mailbox.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <zlib.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <system_error>

namespace kdxd::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using error_code = boost::system::error_code;

namespace {

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// What a request's framing headers leave unclear is refused, never
// guessed (a guess is how requests are smuggled past a proxy): the status
// and why, or 0 when the head frames its body plainly.
std::pair<int, std::string> framing_fault(const bhttp::request_header<> &head) {
    std::size_t hosts = 0, lengths = 0;
    std::string codings;
    for (const auto &field : head) {
        if (field.name() == bhttp::field::host) ++hosts;
        if (field.name() == bhttp::field::content_length) ++lengths;
        if (field.name() == bhttp::field::transfer_encoding) {
            codings += (codings.empty() ? "" : ",") + std::string(field.value());
        }
    }
    if (hosts > 1) return {400, "more than one Host header"};
    if (codings.empty()) return {0, ""};
    if (lengths > 0) return {400, "both Transfer-Encoding and Content-Length"};
    std::vector<std::string> list;
    std::size_t start = 0;
    while (start <= codings.size()) {
        const std::size_t comma = std::min(codings.find(',', start), codings.size());
        const std::string_view part(codings.data() + start, comma - start);
        const std::size_t first = part.find_first_not_of(" \t");
        const std::size_t last = part.find_last_not_of(" \t");
        if (first != std::string_view::npos) list.emplace_back(part.substr(first, last - first + 1));
        start = comma + 1;
    }
    for (const std::string &coding : list) {
        if (!same_name(coding, "chunked")) return {501, "transfer coding '" + coding + "' is not understood"};
    }
    if (list.size() != 1) return {400, "Transfer-Encoding is chunked, once"};
    return {0, ""};
}

std::string chunk(const std::string &text) {
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", text.size());
    return size + text + "\r\n";
}

constexpr std::size_t kCompressFrom = 4096;
// The first read of a request: a head usually fits, and Beast reads on.
constexpr std::size_t kFirstRead = 1024;

bool compressible(const std::string &type) {
    return type.rfind("text/", 0) == 0 || type.rfind("application/json", 0) == 0 ||
           type.rfind("image/svg+xml", 0) == 0;
}

// "gzip" in Accept-Encoding, unless with q=0.
bool accepts_gzip(const std::string &accepted) {
    std::string_view list = accepted;
    while (!list.empty()) {
        const std::size_t comma = std::min(list.find(','), list.size());
        std::string_view item = list.substr(0, comma);
        list.remove_prefix(std::min(comma + 1, list.size()));
        const std::size_t semicolon = std::min(item.find(';'), item.size());
        std::string_view coding = item.substr(0, semicolon);
        while (!coding.empty() && coding.front() == ' ') coding.remove_prefix(1);
        while (!coding.empty() && coding.back() == ' ') coding.remove_suffix(1);
        if (!same_name(coding, "gzip")) continue;
        const std::string params(item.substr(semicolon));
        const std::size_t q = params.find("q=");
        return q == std::string::npos || std::strtod(params.c_str() + q + 2, nullptr) > 0;
    }
    return false;
}

// The body as gzip, or nothing when zlib fails (the answer then goes plain).
std::optional<std::string> gzip(const std::string &body) {
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
    std::string out(deflateBound(&stream, static_cast<uLong>(body.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(body.data()));
    stream.avail_in = static_cast<uInt>(body.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int done = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (done != Z_STREAM_END) return std::nullopt;
    return out;
}

// A connection refused at the door costs a line in the log at most once a
// second: a flood must not become a flood of log lines.
class RefusalLog {
public:
    explicit RefusalLog(Log &log) : log_(log) {}
    void note(const std::string &why) {
        ++since_;
        const auto now = Clock::now();
        if (now - last_ < std::chrono::seconds(1)) return;
        log_.line(Topic::Refusal, "refused HTTP connections: " + why + " (" + std::to_string(since_) + " since the last note)");
        last_ = now;
        since_ = 0;
    }

private:
    Log &log_;
    Clock::time_point last_{};
    std::size_t since_ = 0;
};

} // namespace

std::string Request::header(std::string_view name) const {
    for (const auto &[key, value] : headers) {
        if (same_name(key, name)) return value;
    }
    return {};
}

bool Request::none_match(std::string_view etag) const {
    const std::string asked = header("If-None-Match");
    std::string_view list = asked;
    while (!list.empty()) {
        const std::size_t comma = std::min(list.find(','), list.size());
        std::string_view tag = list.substr(0, comma);
        list.remove_prefix(std::min(comma + 1, list.size()));
        while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) tag.remove_prefix(1);
        while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) tag.remove_suffix(1);
        if (tag.substr(0, 2) == "W/") tag.remove_prefix(2);
        std::string_view mine = etag.substr(0, 2) == "W/" ? etag.substr(2) : etag;
        if (tag == "*" || (!tag.empty() && tag == mine)) return true;
    }
    return false;
}

bool Request::has(std::string_view name) const {
    return std::any_of(headers.begin(), headers.end(), [&](const auto &h) { return same_name(h.first, name); });
}

class Server::Loop {
public:
    Loop(Options options, NetworkLoop &network, Handler &handler, Log &log);
    void shutdown();
    void forget(Session &session);
    Counts counts() const {
        return {connections_.load(), streams_.load(), refused_.load()};
    }

    const Options options;
    Handler &handler;
    const std::shared_ptr<Mailbox> mailbox;
    std::atomic<std::size_t> streams_{0};

private:
    void admit(int fd, const sockaddr_storage &peer);
    // Makes room for a newcomer from `holder`: false when it must wait.
    bool make_room(const Address &holder);

    Log &log_;
    RefusalLog refusals_;
    std::list<Session *> sessions_;
    std::map<Address, std::size_t> per_address_;
    std::atomic<std::size_t> connections_{0}, refused_{0};
    asio::io_context &context_;
    Listener listener_;
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Server::Loop &loop, tcp::socket socket, Address peer, std::string peer_text)
        : loop_(loop), socket_(std::move(socket)), timer_(socket_.get_executor()),
          buffer_(loop.options.head_limit + loop.options.body_limit), peer_(peer), holder_(holder_of(peer)),
          peer_text_(std::move(peer_text)) {}
    ~Session() { loop_.forget(*this); }

    void start() {
        // A write tried at once must never block the loop.
        error_code ec;
        socket_.non_blocking(true, ec);
        if (ec) {
            close();
            return;
        }
        await_request();
    }
    void close();
    // Waiting for the first byte of a request, or still reading its head:
    // a connection that may give way to a new one when all are taken.
    bool idle_since(Clock::time_point &since) const {
        since = since_;
        return stage_ == Stage::idle || stage_ == Stage::head;
    }
    const Address &peer() const { return peer_; }
    const Address &holder() const { return holder_; }
    bool streaming() const { return stage_ == Stage::streaming; }
    std::list<Session *>::iterator place;

    // On the loop: an answer (or a stream) through reply.
    void answered(const Reply *reply, Response response);
    void streamed(const Reply *reply, Response head, std::shared_ptr<Feed> feed);

private:
    enum class Stage { idle, head, body, waiting, writing, streaming, closed };

    void arm(std::chrono::seconds after);
    void expired();
    void await_request();
    void read_head();
    void on_head(error_code ec);
    void read_body();
    bool read_failed(const error_code &ec);
    void refuse(int status, const std::string &text);
    std::string too_big() const;
    void on_body(error_code ec);
    void dispatch();
    void respond(Response response);
    void written(bool keep, error_code ec);
    void compress(Response &response) const;
    std::string head_text(const Response &response, bool keep, bool chunked) const;
    void linger();
    void drain(std::size_t left);
    void pump();
    void write_stream(std::string text, bool last);
    void watch_reader();

    Server::Loop &loop_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    unsigned timer_round_ = 0;
    beast::flat_buffer buffer_;
    std::optional<bhttp::request_parser<bhttp::empty_body>> head_;
    std::optional<bhttp::request_parser<bhttp::string_body>> body_;
    Request request_;
    std::shared_ptr<Reply> reply_; // the answer awaited
    std::string out_;
    bool keep_alive_ = false;
    bool http10_ = false; // keeps its connection only when told so in the answer
    Stage stage_ = Stage::idle;
    bool dispatching_ = false;
    std::optional<Response> ready_; // an answer given while the handler ran
    Clock::time_point since_ = Clock::now();
    const Address peer_;
    const Address holder_;
    const std::string peer_text_;
    // An event stream's state.
    std::shared_ptr<Feed> feed_;
    std::shared_ptr<std::atomic<bool>> wake_posted_;
    bool writing_ = false, ending_ = false;
    Clock::time_point write_started_{};
    std::array<char, 256> sink_{};
};

void Session::arm(std::chrono::seconds after) {
    const unsigned round = ++timer_round_;
    timer_.expires_after(after);
    timer_.async_wait([self = shared_from_this(), round](error_code ec) {
        if (!ec && round == self->timer_round_) self->expired();
    });
}

void Session::expired() {
    switch (stage_) {
    case Stage::waiting: {
        // Withdrawn before it began, it never will; begun, it runs to its
        // end and its answer finds nobody: what it did is then unknown.
        const bool withdrawn = reply_ && reply_->give_up();
        reply_.reset();
        respond(loop_.handler.refusal(
            504, withdrawn ? "the module did not answer in time: the request was not carried out"
                           : "the module did not answer in time: whether the request took effect is unknown "
                             "(the event stream shows what the module holds)"));
        return;
    }
    case Stage::streaming:
        if (writing_ && Clock::now() - write_started_ > loop_.options.write_deadline) {
            close(); // the reader takes nothing
            return;
        }
        if (!writing_) write_stream("event: heartbeat\ndata: {}\n\n", false);
        arm(loop_.options.keepalive);
        return;
    case Stage::closed:
        return;
    default:
        close(); // a silent or slow client, or a reader that takes nothing
    }
}

void Session::close() {
    if (stage_ == Stage::closed) return;
    if (stage_ == Stage::streaming) --loop_.streams_;
    stage_ = Stage::closed;
    ++timer_round_;
    timer_.cancel();
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    if (feed_) {
        feed_->detach();
        feed_.reset();
    }
    reply_.reset();
}

void Session::await_request() {
    stage_ = Stage::idle;
    since_ = Clock::now();
    request_ = Request{};
    request_.peer = peer_;
    request_.peer_text = peer_text_;
    body_.reset();
    head_.emplace();
    head_->header_limit(static_cast<std::uint32_t>(loop_.options.head_limit));
    head_->body_limit(std::numeric_limits<std::uint64_t>::max()); // judged after the head, by read_body
    if (buffer_.size() > 0) {
        read_head();
        return;
    }
    arm(loop_.options.idle);
    // A read rather than a wait: Asio re-registers the socket for every
    // wait, a system call per request.
    socket_.async_read_some(buffer_.prepare(kFirstRead), [self = shared_from_this()](error_code ec, std::size_t n) {
        if (self->stage_ != Stage::idle) return;
        if (ec) {
            self->close();
            return;
        }
        self->buffer_.commit(n);
        self->read_head();
    });
}

void Session::read_head() {
    // From the first byte, the whole head has a deadline: a client that
    // sends it a byte at a time is not waited for.
    stage_ = Stage::head;
    arm(loop_.options.head_deadline);
    // A head already read is parsed here: Beast's read would hand it over
    // through one more turn of the loop.
    if (buffer_.size() > 0) {
        error_code ec;
        buffer_.consume(head_->put(buffer_.data(), ec));
        if (ec != bhttp::error::need_more) {
            on_head(ec);
            return;
        }
    }
    bhttp::async_read_header(socket_, buffer_, *head_,
                             [self = shared_from_this()](error_code ec, std::size_t) { self->on_head(ec); });
}

void Session::on_head(error_code ec) {
    if (stage_ != Stage::head || read_failed(ec)) return;
    const auto &message = head_->get();
    request_.method = std::string(message.method_string());
    const std::string_view target(message.target().data(), message.target().size());
    const std::size_t question = target.find('?');
    request_.path = std::string(target.substr(0, question));
    request_.query = question == std::string_view::npos ? std::string() : std::string(target.substr(question + 1));
    for (const auto &field : message) {
        request_.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    request_.has_body = head_->chunked() || (head_->content_length() && *head_->content_length() > 0);
    keep_alive_ = message.keep_alive();
    http10_ = message.version() == 10;
    if (const auto [status, why] = framing_fault(message); status != 0) {
        refuse(status, why);
        return;
    }
    if (auto early = loop_.handler.head(request_)) {
        if (request_.has_body) early->close = true; // its body stays unread
        respond(std::move(*early));
        return;
    }
    if (!request_.has_body) {
        dispatch();
        return;
    }
    if (head_->content_length() && *head_->content_length() > loop_.options.body_limit) {
        refuse(413, too_big());
        return;
    }
    if (same_name(request_.header("Expect"), "100-continue")) {
        // The client waits for this before it sends the body.
        stage_ = Stage::body;
        arm(loop_.options.write_deadline);
        out_ = "HTTP/1.1 100 Continue\r\n\r\n";
        asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](error_code ec, std::size_t) {
            if (self->stage_ != Stage::body) return;
            if (ec) {
                self->close();
                return;
            }
            self->read_body();
        });
        return;
    }
    read_body();
}

// A read that ended badly is answered (a limit passed, a request that is
// not HTTP) or, when its client went away, closed; true when it did.
bool Session::read_failed(const error_code &ec) {
    const bool malformed = ec && ec.category() == bhttp::make_error_code(bhttp::error::end_of_stream).category() &&
                           ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message;
    if (ec == bhttp::error::header_limit) {
        refuse(431, "the request's head is larger than 8 KiB");
    } else if (ec == bhttp::error::body_limit) {
        refuse(413, too_big());
    } else if (malformed) {
        refuse(400, "the request is not HTTP/1.1: " + ec.message());
    } else if (ec) {
        close();
    }
    return static_cast<bool>(ec);
}

// A refusal ends the connection: what the client sends next is not read.
void Session::refuse(int status, const std::string &text) {
    Response refusal = loop_.handler.refusal(status, text);
    refusal.close = true;
    respond(std::move(refusal));
}

std::string Session::too_big() const {
    return "a body is at most " + std::to_string(loop_.options.body_limit / 1024) + " KiB";
}

void Session::read_body() {
    stage_ = Stage::body;
    arm(loop_.options.body_deadline);
    body_.emplace(std::move(*head_));
    head_.reset();
    body_->body_limit(loop_.options.body_limit); // chunked too: counted as it comes
    bhttp::async_read(socket_, buffer_, *body_, [self = shared_from_this()](error_code ec, std::size_t) {
        self->on_body(ec);
    });
}

void Session::on_body(error_code ec) {
    if (stage_ != Stage::body || read_failed(ec)) return;
    request_.body = body_->release().body();
    body_.reset();
    dispatch();
}

void Session::dispatch() {
    stage_ = Stage::waiting;
    reply_ = std::make_shared<Reply>(weak_from_this(), loop_.mailbox);
    arm(loop_.options.answer_timeout);
    // An answer given before the handler returns is sent once it has: the
    // handler may still be looking at the request.
    dispatching_ = true;
    loop_.handler.request(request_, reply_);
    dispatching_ = false;
    if (ready_ && stage_ == Stage::waiting) {
        Response response = std::move(*ready_);
        ready_.reset();
        reply_.reset();
        respond(std::move(response));
    }
}

void Session::answered(const Reply *reply, Response response) {
    if (stage_ != Stage::waiting || reply_.get() != reply) return; // late: the time-out answered
    if (dispatching_) {
        ready_ = std::move(response);
        return;
    }
    reply_.reset();
    respond(std::move(response));
}

std::string Session::head_text(const Response &response, bool keep, bool chunked) const {
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " ";
    text += std::string(bhttp::obsolete_reason(static_cast<bhttp::status>(response.status)));
    text += "\r\n";
    for (const auto &[name, value] : response.headers) {
        // A value never carries a line break into the head.
        if (value.find_first_of("\r\n") != std::string::npos) continue;
        text += name + ": " + value + "\r\n";
    }
    if (!response.type.empty()) text += "Content-Type: " + response.type + "\r\n";
    if (chunked) {
        text += "Transfer-Encoding: chunked\r\n";
    } else if (response.status != 204 && response.status != 304) {
        text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    }
    if (!keep) text += "Connection: close\r\n";
    if (keep && http10_) text += "Connection: keep-alive\r\n";
    return text + "\r\n";
}

void Session::respond(Response response) {
    loop_.handler.decorate(request_, response);
    compress(response);
    const bool keep = keep_alive_ && !response.close;
    out_ = head_text(response, keep, false);
    if (request_.method != "HEAD" && response.status != 204 && response.status != 304) out_ += response.body;
    stage_ = Stage::writing;
    // Most answers fit the socket's buffer: sent now, the connection goes
    // on without waiting for the loop to say so.
    error_code sent_error;
    const std::size_t sent = socket_.write_some(asio::buffer(out_), sent_error);
    if (!sent_error && sent == out_.size()) {
        written(keep, {});
        return;
    }
    if (sent_error && sent_error != asio::error::would_block) {
        close();
        return;
    }
    arm(loop_.options.write_deadline);
    asio::async_write(socket_, asio::buffer(out_.data() + sent, out_.size() - sent),
                      [self = shared_from_this(), keep](error_code ec, std::size_t) {
                          if (self->stage_ != Stage::writing) return;
                          self->written(keep, ec);
                      });
}

void Session::written(bool keep, error_code ec) {
    if (ec) {
        close();
    } else if (keep) {
        await_request();
    } else {
        linger();
    }
}

void Session::compress(Response &response) const {
    if (response.status != 200 || response.body.size() < kCompressFrom || !compressible(response.type)) return;
    response.set("Vary", "Accept-Encoding");
    if (!accepts_gzip(request_.header("Accept-Encoding"))) return;
    auto packed = gzip(response.body);
    if (!packed) return;
    response.body = std::move(*packed);
    response.set("Content-Encoding", "gzip");
    for (auto &[name, value] : response.headers) {
        if (same_name(name, "ETag") && value.rfind("W/", 0) != 0) value = "W/" + value;
    }
}

// Closing with unread bytes would reset the connection, and the client
// could lose the answer it was just sent: our side is shut, and what the
// client still sends is read and dropped for a moment, then it is closed.
void Session::linger() {
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    stage_ = Stage::writing;
    arm(std::chrono::seconds(2));
    drain(64 * 1024);
}

void Session::drain(std::size_t left) {
    socket_.async_read_some(asio::buffer(sink_), [self = shared_from_this(), left](error_code ec, std::size_t n) {
        if (self->stage_ != Stage::writing) return;
        if (ec || n >= left) {
            self->close();
            return;
        }
        self->drain(left - n);
    });
}

void Session::streamed(const Reply *reply, Response head, std::shared_ptr<Feed> feed) {
    if (stage_ != Stage::waiting || reply_.get() != reply) {
        feed->detach();
        return;
    }
    reply_.reset();
    loop_.handler.decorate(request_, head);
    stage_ = Stage::streaming;
    ++loop_.streams_;
    // A small send buffer: a reader that falls behind is found by the
    // feed's own bound, not after the kernel has queued half a megabyte.
    const int size = 32 * 1024;
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    feed_ = std::move(feed);
    wake_posted_ = std::make_shared<std::atomic<bool>>(false);
    feed_->attach([session = weak_from_this(), posted = wake_posted_, mailbox = loop_.mailbox] {
        if (posted->exchange(true)) return;
        mailbox->post([session] {
            if (auto self = session.lock()) self->pump();
        });
    });
    write_started_ = Clock::now();
    writing_ = true;
    out_ = head_text(head, false, true);
    if (request_.method == "HEAD") {
        out_ += "0\r\n\r\n";
        ending_ = true;
    }
    asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](error_code ec, std::size_t) {
        if (self->stage_ != Stage::streaming) return;
        self->writing_ = false;
        if (ec || self->ending_) {
            self->close();
            return;
        }
        self->pump();
    });
    arm(loop_.options.keepalive);
    watch_reader();
}

// A reader sends nothing more; the read ends when it goes away.
void Session::watch_reader() {
    socket_.async_read_some(asio::buffer(sink_), [self = shared_from_this()](error_code ec, std::size_t) {
        if (self->stage_ != Stage::streaming) return;
        if (ec) {
            self->close();
            return;
        }
        self->watch_reader();
    });
}

void Session::pump() {
    if (wake_posted_) wake_posted_->store(false);
    if (stage_ != Stage::streaming || writing_ || !feed_) return;
    std::string text;
    const bool more = feed_->take(text);
    if (!more) {
        write_stream(text, true);
    } else if (!text.empty()) {
        write_stream(std::move(text), false);
    }
}

void Session::write_stream(std::string text, bool last) {
    out_ = text.empty() ? std::string() : chunk(text);
    if (last) {
        out_ += "0\r\n\r\n";
        ending_ = true;
    }
    writing_ = true;
    write_started_ = Clock::now();
    asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](error_code ec, std::size_t) {
        if (self->stage_ != Stage::streaming) return;
        self->writing_ = false;
        if (ec || self->ending_) {
            self->close();
            return;
        }
        self->pump();
    });
}

void Reply::send(Response response) {
    if (used_.exchange(true)) return;
    // An answer made on the loop (a file, a refusal) goes out at once,
    // without a second turn of the loop.
    if (std::this_thread::get_id() == loop_thread_) {
        if (auto session = session_.lock()) session->answered(this, std::move(response));
        return;
    }
    mailbox_->post([session = session_, reply = shared_from_this(), response = std::move(response)]() mutable {
        if (auto self = session.lock()) self->answered(reply.get(), std::move(response));
    });
}

void Reply::stream(Response head, std::shared_ptr<Feed> feed) {
    if (used_.exchange(true)) {
        feed->detach();
        return;
    }
    mailbox_->post([session = session_, reply = shared_from_this(), head = std::move(head), feed]() mutable {
        if (auto self = session.lock()) {
            self->streamed(reply.get(), std::move(head), std::move(feed));
        } else {
            feed->detach();
        }
    });
}

Server::Loop::Loop(Options options_in, NetworkLoop &network, Handler &handler_in, Log &log)
    : options(std::move(options_in)), handler(handler_in), mailbox(network.mailbox()), log_(log), refusals_(log),
      context_(network.context()),
      listener_(network, options.endpoint, "HTTP", log, [this](int fd, const sockaddr_storage &peer) { admit(fd, peer); }) {
    listener_.start();
}

void Server::Loop::admit(int fd, const sockaddr_storage &peer) {
    tcp::socket socket(context_);
    if (!adopt(socket, fd, peer)) return;
    const Address address = holder_of(peer_address(peer));
    if (per_address_[address] >= options.max_per_address) {
        ++refused_;
        refusals_.note(peer_text(peer) + " has " + std::to_string(options.max_per_address) + " connections");
        return; // the socket closes as it goes
    }
    if (sessions_.size() >= options.max_connections && !make_room(address)) {
        ++refused_;
        refusals_.note("all " + std::to_string(options.max_connections) + " connections are in use");
        return;
    }
    tune_client_socket(fd);
    auto session = std::make_shared<Session>(*this, std::move(socket), peer_address(peer), peer_text(peer));
    sessions_.push_front(session.get());
    session->place = sessions_.begin();
    ++per_address_[address];
    ++connections_;
    session->start();
}

// A full house is shared fairly among the addresses that hold it: a
// newcomer below its share (connections / holders) makes room by closing
// a connection of the largest holder, the one waiting longest for a
// request first, else its oldest stream; never one being answered, and
// never one of a holder within its share while another holds more. A
// newcomer at its share (every client behind one proxy, say) may only
// take the place of its own holder's connection idle longest, a second
// at least.
bool Server::Loop::make_room(const Address &holder) {
    const auto found = per_address_.find(holder);
    const std::size_t held = found == per_address_.end() ? 0 : found->second;
    const std::size_t holders = per_address_.size() + (held == 0 ? 1 : 0);
    const std::size_t share = std::max<std::size_t>(1, options.max_connections / holders);
    const auto largest = std::max_element(per_address_.begin(), per_address_.end(),
                                          [](const auto &a, const auto &b) { return a.second < b.second; });
    const bool from_another = held < share && largest != per_address_.end() && largest->second > held + 1;
    const Address &victim = from_another ? largest->first : holder;
    Session *idlest = nullptr, *oldest_stream = nullptr;
    Clock::time_point idle_from = from_another ? Clock::time_point::max() : Clock::now() - std::chrono::seconds(1);
    for (Session *session : sessions_) { // newest first: the last found is the oldest
        if (session->holder() != victim) continue;
        Clock::time_point since;
        if (session->idle_since(since)) {
            if (since <= idle_from) {
                idlest = session;
                idle_from = since;
            }
        } else if (from_another && session->streaming()) {
            oldest_stream = session;
        }
    }
    Session *closing = idlest != nullptr ? idlest : oldest_stream;
    if (closing == nullptr) return false;
    closing->close();
    return true;
}

void Server::Loop::forget(Session &session) {
    sessions_.erase(session.place);
    const auto count = per_address_.find(session.holder());
    if (count != per_address_.end() && --count->second == 0) per_address_.erase(count);
    --connections_;
}

void Server::Loop::shutdown() {
    listener_.close();
    std::vector<std::shared_ptr<Session>> all;
    for (Session *session : sessions_) all.push_back(session->shared_from_this());
    for (const auto &session : all) session->close();
}

Server::Server(Options options, NetworkLoop &network, Handler &handler, Log &log) {
    // Each connection is a descriptor: never promise more than the limit
    // leaves room for (the modules and the Modbus clients need theirs).
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        const std::size_t room = files.rlim_cur > 256 ? files.rlim_cur - 256 : 16;
        options.max_connections = std::min(options.max_connections, room);
    }
    loop_ = std::make_unique<Loop>(std::move(options), network, handler, log);
    network.on_stop([loop = loop_.get()] { loop->shutdown(); });
}

Server::~Server() = default;

Counts Server::counts() const { return loop_->counts(); }

std::size_t Server::max_connections() const { return loop_->options.max_connections; }

} // namespace kdxd::http
