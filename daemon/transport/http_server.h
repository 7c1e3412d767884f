// SPDX-License-Identifier: MIT
// HTTP/1.1 transport for the HTTP front end, on the daemon's network loop
// (Boost.Beast parses). Idle, slow and streaming
// connections cost a few kilobytes and no thread; each stage of a request
// has a deadline, bodies are bounded whatever their encoding, and answers
// may come later from any thread. What a request means is the Handler's.
#pragma once

#include "core/log.h"
#include "transport/net.h"
#include "transport/network_loop.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kdxd {
struct Mailbox;
}

namespace kdxd::http {

struct Request {
    std::string method;
    std::string path;  // the target without its query
    std::string query; // after '?', or ""
    std::vector<std::pair<std::string, std::string>> headers;
    Address peer{};
    std::string peer_text;
    bool has_body = false; // a Content-Length above 0, or chunked
    std::string body;      // once read (Handler::request)

    // The first header of that name (any case), or "".
    std::string header(std::string_view name) const;
    bool has(std::string_view name) const;
    // Whether If-None-Match names this entity tag (weakly: a compressed
    // answer's tag is sent weak, and comes back so).
    bool none_match(std::string_view etag) const;
};

// Answers of 4 KiB and more in a text type go out gzip-compressed to a
// client that accepts it (its ETag then weak); smaller ones are not worth
// the time.
struct Response {
    int status = 200;
    std::string type; // Content-Type; none when empty
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool close = false; // end the connection after it
    void set(std::string name, std::string value) { headers.emplace_back(std::move(name), std::move(value)); }
};

// An event stream's text as it becomes ready. attach and take run on the
// loop; wake may be called from any thread, as often as it likes.
class Feed {
public:
    virtual ~Feed() = default;
    virtual void attach(std::function<void()> wake) = 0;
    // Appends what is ready to out; false once the stream is over (the
    // reader fell too far behind, or the server stops).
    virtual bool take(std::string &out) = 0;
    // The reader is gone, or the server stops: no wake is wanted any more.
    virtual void detach() = 0;
};

class Session;

// How one request is answered, once, from any thread. An answer whose
// connection has gone, or that came after the time-out's, is dropped.
class Reply : public std::enable_shared_from_this<Reply> {
public:
    // Made on the loop's thread.
    Reply(std::weak_ptr<Session> session, std::shared_ptr<Mailbox> mailbox)
        : session_(std::move(session)), mailbox_(std::move(mailbox)), loop_thread_(std::this_thread::get_id()) {}
    void send(Response response);
    // An event stream: the head's status and headers, then the feed's text.
    void stream(Response head, std::shared_ptr<Feed> feed);
    // On the loop: how to withdraw the work this reply waits for, when the
    // answer is given up (true: withdrawn before it began).
    void on_give_up(std::function<bool()> withdraw) { withdraw_ = std::move(withdraw); }
    bool give_up() const { return withdraw_ && withdraw_(); }

private:
    std::weak_ptr<Session> session_;
    std::shared_ptr<Mailbox> mailbox_;
    const std::thread::id loop_thread_;
    std::atomic<bool> used_{false};
    std::function<bool()> withdraw_;
};

class Handler {
public:
    virtual ~Handler() = default;
    // On the loop, once the head is in: an answer now (a body the request
    // has is then never read, and the connection closes), or none to have
    // the body read, within the limit, and request() called.
    virtual std::optional<Response> head(const Request &request) = 0;
    // On the loop with the whole request; answers through reply, now or
    // later.
    virtual void request(const Request &request, std::shared_ptr<Reply> reply) = 0;
    // The answer when request() gave none within answer_timeout, or for a
    // request the server refuses itself (status 400, 408, 413, 431, 503).
    virtual Response refusal(int status, const std::string &text) = 0;
    // On the loop, before any answer goes out (CORS headers, say).
    virtual void decorate(const Request &, Response &) {}
};

struct Options {
    Endpoint endpoint;
    std::size_t max_connections = 4096; // lowered to what the open-files limit allows
    std::size_t max_per_address = 256;
    std::chrono::seconds idle{60};          // for the first byte of a request
    std::chrono::seconds head_deadline{5};  // from its first byte to its last header
    std::chrono::seconds body_deadline{5};
    std::chrono::seconds answer_timeout{12};
    std::chrono::seconds write_deadline{20}; // for an answer, or a stream's next piece, to leave
    // A heartbeat event on a quiet event stream: a reader that hears
    // nothing for twice as long knows its view is stale.
    std::chrono::seconds keepalive{15};
    std::size_t head_limit = 8192;
    std::size_t body_limit = 4096;
};

struct Counts {
    std::size_t connections = 0, streams = 0, refused = 0;
};

class Server {
public:
    // Binds the listening socket; throws std::system_error. It serves once
    // the loop runs; when the loop stops it closes every connection, and
    // answers still at workers are dropped when they come.
    Server(Options options, NetworkLoop &network, Handler &handler, Log &log);
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    ~Server();

    Counts counts() const;
    std::size_t max_connections() const;

    class Loop; // the sessions' too

private:
    std::unique_ptr<Loop> loop_;
};

} // namespace kdxd::http
