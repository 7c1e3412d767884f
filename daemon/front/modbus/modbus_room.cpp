// SPDX-License-Identifier: MIT
#include "front/modbus/modbus_room.h"

#include "front/modbus/modbus_map.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace kdxd {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;
using namespace modbus;

// A client's requests wait here until their turn (one at a time per
// client, so that its replies keep their order), and its replies until it
// reads them. When its replies are not read, its requests are not read
// either: TCP's own flow control then holds the client back.
constexpr std::size_t kInBuffer = 1024, kOutBuffer = 4096;
// How long the loop waits for a lone client's answer from an awake worker
// before it leaves the worker to wake it: a short job's time, several.
constexpr auto kAnswerWait = std::chrono::microseconds(100);

std::string seconds(Clock::duration d) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + " s";
}

} // namespace

modbus::UnitStatus unit_status(const Worker &worker) {
    modbus::UnitStatus status;
    status.present = worker.present() || worker.hangs();
    status.responding = worker.responding();
    const Watch watch = worker.watch_now().state;
    status.watching = watch == Watch::watching;
    status.paused = watch == Watch::paused;
    if (const auto at = worker.read_at(Worker::Value::inputs)) {
        status.sample_age_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - *at).count();
    }
    return status;
}

namespace {

Client modbus_client(const std::string &name, bool may_write) {
    return Client{Origin::modbus, name, may_write ? "plain TCP, writes allowed by --allow-write" : "plain TCP"};
}

} // namespace

class ModbusRoom::Loop {
public:
    Loop(ModbusOptions options, NetworkLoop &network, Units &units, Log &log);
    void shutdown();
    void reload_access(std::vector<Cidr> allow, std::vector<Cidr> allow_write);
    std::atomic<std::size_t> clients{0}; // connected now (read by /metrics)

private:
    struct Connection;

    // One request at a worker. Apart from its connection, so that a client
    // that closes frees its slot at once: the answer, when it comes, has
    // nobody to go to and is dropped.
    struct Pending final : Job {
        Loop *loop = nullptr;
        Connection *connection = nullptr; // null once the connection closed
        Request request;
        Reply reply;
        Pending *next = nullptr; // in the done list, or the free list
        std::shared_ptr<const Client> asker; // its connection's client, kept past a close

        std::shared_ptr<const Client> client() const override { return asker; }
        bool run(kdx::Module *module, Worker &worker) override {
            if (module == nullptr) {
                reply.exception = Exception::TargetFailed;
                return true;
            }
            // The service tells the worker what the request did.
            serve(*module, worker, request, reply);
            return !reply.transfer_failed; // false: the worker reopens
        }
        void finished() override { loop->post(*this); }
        bool is_write() const override { return modbus::is_write(request.function); }
    };

    struct Connection {
        std::size_t slot = 0;
        // Each connection the slot holds has its own: a wait armed for
        // one that has closed finds another and does nothing.
        unsigned generation = 0;
        std::optional<tcp::socket> socket;
        Pending *pending = nullptr; // the request a worker has
        bool peer_done = false;     // the client sent FIN: answer what came, then close
        const char *closing = nullptr; // why it closes once its answers are out
        bool may_write = false;
        // Bytes may still wait unread (the last read filled the buffer, or
        // none has been made yet): read before waiting, which spares a wait
        // and the re-registration Asio makes for each.
        bool maybe_more = true;
        bool read_armed = false, write_armed = false;
        Address address{};
        std::shared_ptr<const Client> client; // as the audit trail names it
        std::string name;
        Clock::time_point last_active;
        std::array<uint8_t, kInBuffer> in{};
        std::size_t in_used = 0;
        std::array<uint8_t, kOutBuffer> out{};
        std::size_t out_start = 0, out_end = 0;
        Request request;
        Reply reply;
        bool open() const { return socket.has_value(); }
        bool in_flight() const { return pending != nullptr; }
        int fd() const { return const_cast<tcp::socket &>(*socket).native_handle(); }
    };

    // Requests may wait at workers for every slot, and for connections
    // closed since (at most a worker queue's worth each): bounded, reused.
    Pending *take_pending();
    void recycle(Pending &p);

    void post(Pending &p);
    void await_finished();
    void take_finished();
    void wait_for_answer();
    void admit(int fd, const sockaddr_storage &peer);
    Connection *free_slot(Clock::time_point now, const std::string &newcomer);
    void readable(Connection &c);
    void receive(Connection &c);
    void advance(Connection &c);
    void answer_now(Connection &c, Exception exception);
    void flush(Connection &c);
    void update_interest(Connection &c);
    void close(Connection &c, const std::string &why);
    void await_sweep();
    void sweep(Clock::time_point now);
    void recheck_access();
    template <class Then> auto on(Connection &c, Then then);

    const ModbusOptions options_;
    asio::io_context &context_;
    std::shared_ptr<Mailbox> mailbox_;
    LiveCidrs allow_, allow_write_;
    Units &units_;
    Log &log_;
    Listener listener_;
    // Workers hand finished requests back through a list and one eventfd
    // write: no allocation on their side.
    asio::posix::stream_descriptor wake_;
    uint64_t wake_count_ = 0;
    asio::steady_timer sweep_timer_;
    std::vector<std::unique_ptr<Connection>> slots_;
    std::vector<std::unique_ptr<Pending>> pendings_;
    Pending *free_pending_ = nullptr;
    std::size_t pending_limit_ = 0;
    bool stopping_ = false;
    std::mutex done_mutex_;
    Pending *done_ = nullptr;
    bool loop_waits_ = false; // under done_mutex_: no eventfd write needed
    std::atomic<bool> answered_{false}; // done_ != nullptr, for a look without the lock
    bool answer_soon_ = false; // a lone client's request went to an awake worker
};

ModbusRoom::Loop::Loop(ModbusOptions options, NetworkLoop &network, Units &units, Log &log)
    : options_(std::move(options)), context_(network.context()), mailbox_(network.mailbox()),
      allow_(options_.allow), allow_write_(options_.allow_write), units_(units), log_(log),
      listener_(network, options_.endpoint, "Modbus TCP", log,
                [this](int fd, const sockaddr_storage &peer) { admit(fd, peer); }),
      wake_(context_), sweep_timer_(context_), slots_(options_.max_clients),
      pending_limit_(options_.max_clients + Worker::kQueueLimit) {
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) throw std::system_error(errno, std::generic_category(), "eventfd for Modbus");
    wake_.assign(wake);
    listener_.start();
    await_finished();
    await_sweep();
    log_.line(Topic::Service, "Modbus TCP on " + options_.endpoint.text);
}

// On the loop when the daemon stops: every client dropped. Requests still
// at a worker are not waited for: their answers go nowhere (the eventfd
// stays open until the room goes, after the workers).
void ModbusRoom::Loop::shutdown() {
    stopping_ = true;
    listener_.close();
    sweep_timer_.cancel();
    wake_.cancel();
    for (auto &slot : slots_) {
        if (slot && slot->open()) close(*slot, "stopping");
    }
}

void ModbusRoom::Loop::reload_access(std::vector<Cidr> allow, std::vector<Cidr> allow_write) {
    allow_.replace(std::move(allow));
    allow_write_.replace(std::move(allow_write));
    mailbox_->post([this] {
        if (!stopping_) recheck_access();
    });
}

// On the loop, after a reload: the lists hold for every open connection.
void ModbusRoom::Loop::recheck_access() {
    for (auto &slot : slots_) {
        if (!slot || !slot->open()) continue;
        Connection &c = *slot;
        if (!allow_.admits(c.address)) {
            close(c, "no longer in --allow");
            continue;
        }
        const bool may_write = allow_write_.contains(c.address);
        if (may_write != c.may_write) {
            c.may_write = may_write;
            c.client = std::make_shared<const Client>(modbus_client(c.name, may_write));
            log_.line(Topic::Connection, c.name + (may_write ? " may write now" : " may no longer write"));
        }
    }
}

ModbusRoom::Loop::Pending *ModbusRoom::Loop::take_pending() {
    if (free_pending_ == nullptr) {
        if (pendings_.size() == pending_limit_) {
            return nullptr;
        }
        pendings_.push_back(std::make_unique<Pending>());
        pendings_.back()->loop = this;
        free_pending_ = pendings_.back().get();
    }
    Pending *p = free_pending_;
    free_pending_ = p->next;
    p->next = nullptr;
    return p;
}

void ModbusRoom::Loop::recycle(Pending &p) {
    p.connection = nullptr;
    p.asker.reset();
    p.next = free_pending_;
    free_pending_ = &p;
}

// On a worker's thread.
void ModbusRoom::Loop::post(Pending &p) {
    bool wake = false;
    {
        std::lock_guard guard(done_mutex_);
        wake = done_ == nullptr && !loop_waits_;
        p.next = done_;
        done_ = &p;
        answered_.store(true, std::memory_order_release);
    }
    if (wake) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_.native_handle(), &one, sizeof one);
    }
}

// A read, not a bare wait: it takes the count itself, and spares the
// re-registration Asio makes for each wait.
void ModbusRoom::Loop::await_finished() {
    wake_.async_read_some(asio::buffer(&wake_count_, sizeof wake_count_), [this](error_code ec, std::size_t) {
        if (ec == asio::error::operation_aborted || stopping_) return;
        take_finished();
        await_finished();
    });
}

void ModbusRoom::Loop::take_finished() {
    Pending *done = nullptr;
    {
        std::lock_guard guard(done_mutex_);
        done = done_;
        done_ = nullptr;
        answered_.store(false, std::memory_order_relaxed);
    }
    while (done != nullptr) {
        Pending &p = *done;
        done = p.next;
        Connection *owner = p.connection;
        if (owner == nullptr) {
            recycle(p); // its client left: the answer is dropped
            continue;
        }
        Connection &c = *owner;
        c.reply = p.reply;
        c.pending = nullptr;
        recycle(p);
        if (c.reply.exception != Exception::None && log_.verbose()) {
            log_.detail("unit " + std::to_string(c.request.unit) + " function " + std::to_string(c.request.function) +
                        " from " + c.name + ": exception " + std::to_string(static_cast<unsigned>(c.reply.exception)));
        }
        answer_now(c, c.reply.exception);
        advance(c);
    }
}

void ModbusRoom::Loop::admit(int fd, const sockaddr_storage &peer) {
    const auto now = Clock::now();
    const Address address = peer_address(peer);
    std::string name = peer_text(peer);
    if (!allow_.admits(address)) {
        log_.line(Topic::Refusal, "refused " + name + ": not in --allow");
        ::close(fd);
        return;
    }
    Connection *c = free_slot(now, name);
    if (c == nullptr) {
        log_.line(Topic::Refusal, "refused " + name + ": " + std::to_string(options_.max_clients) +
                  " clients already, none idle for " + seconds(options_.evict_idle) + " without a request at a module");
        ::close(fd);
        return;
    }
    tune_client_socket(fd);
    c->socket.emplace(context_);
    if (!adopt(*c->socket, fd, peer)) {
        c->socket.reset();
        return;
    }
    ++c->generation;
    c->pending = nullptr;
    c->peer_done = false;
    c->closing = nullptr;
    c->maybe_more = true; // it may have spoken before it was taken
    c->read_armed = c->write_armed = false;
    c->may_write = allow_write_.contains(address);
    c->address = address;
    c->client = std::make_shared<const Client>(modbus_client(name, c->may_write));
    c->name = std::move(name);
    c->last_active = now;
    c->in_used = c->out_start = c->out_end = 0;
    ++clients;
    log_.line(Topic::Connection, "connect " + c->name + (c->may_write ? " (may write)" : " (read only)"));
    update_interest(*c);
}

// A free slot, or the one whose client has been idle longest, when that
// is at least --evict-idle and it has no request at a module: a full house
// of silent connections cannot lock everyone else out, and a burst of
// newcomers cannot push out masters that merely poll slowly.
ModbusRoom::Loop::Connection *ModbusRoom::Loop::free_slot(Clock::time_point now, const std::string &newcomer) {
    Connection *idlest = nullptr;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i]) {
            slots_[i] = std::make_unique<Connection>();
            slots_[i]->slot = i;
        }
        Connection &c = *slots_[i];
        if (!c.open()) {
            return &c;
        }
        if (!c.in_flight() && (idlest == nullptr || c.last_active < idlest->last_active)) {
            idlest = &c;
        }
    }
    if (idlest == nullptr || now - idlest->last_active < options_.evict_idle) {
        return nullptr;
    }
    close(*idlest, "idle for " + seconds(now - idlest->last_active) + ", making room for " + newcomer);
    return idlest;
}

// A handler for one connection's wait: it does nothing once that
// connection has closed, whatever the slot holds by then.
template <class Then> auto ModbusRoom::Loop::on(Connection &c, Then then) {
    return [this, slot = c.slot, generation = c.generation, then](error_code ec) {
        Connection &now = *slots_[slot];
        if (now.generation != generation || !now.open()) return;
        then(now, ec);
    };
}

void ModbusRoom::Loop::readable(Connection &c) {
    answer_soon_ = false;
    if (!c.peer_done) receive(c);
    if (c.open()) advance(c);
    if (std::exchange(answer_soon_, false)) wait_for_answer();
}

// A lone master's request went to a worker that was awake and free: its
// answer comes within microseconds, sooner than the loop could be woken
// for it. The loop waits a bounded moment for it (this room has no other
// client to keep waiting) and sends it in the same turn; past the bound,
// the worker's eventfd write wakes the loop as always.
void ModbusRoom::Loop::wait_for_answer() {
    {
        std::lock_guard guard(done_mutex_);
        loop_waits_ = true;
    }
    const auto until = Clock::now() + kAnswerWait;
    while (!answered_.load(std::memory_order_acquire) && Clock::now() < until) {
        spin_turn();
    }
    {
        std::lock_guard guard(done_mutex_);
        loop_waits_ = false;
        if (done_ == nullptr) return; // a later answer writes the eventfd
    }
    take_finished(); // a pipelined next request it passes on is not waited for
}

// As much as the buffer takes: the loop hears of more only once it has
// read until there is none. A read short of the room it had took all
// there was (a stream socket gives what it holds), which spares the
// read that would say so.
void ModbusRoom::Loop::receive(Connection &c) {
    while (c.in_used < c.in.size() && c.closing == nullptr) {
        const std::size_t room = c.in.size() - c.in_used;
        const ssize_t got = ::recv(c.fd(), c.in.data() + c.in_used, room, MSG_DONTWAIT);
        if (got > 0) {
            c.in_used += static_cast<std::size_t>(got);
            c.last_active = Clock::now();
            if (static_cast<std::size_t>(got) < room) {
                c.maybe_more = false;
                return;
            }
            continue;
        }
        c.maybe_more = false;
        if (got == 0) {
            c.peer_done = true;
        } else if (errno != EAGAIN && errno != EINTR) {
            close(c, std::strerror(errno));
        }
        return;
    }
    c.maybe_more = true;
}

// Takes the client's next whole request, when its previous one is
// answered and its buffer has room for the answer.
void ModbusRoom::Loop::advance(Connection &c) {
    while (c.open() && !c.in_flight() && c.closing == nullptr) {
        const long length = frame_length({c.in.data(), c.in_used});
        if (length < 0) {
            // The answers to the frames before it go out first.
            c.closing = "malformed frame (not Modbus TCP)";
            c.in_used = 0;
            break;
        }
        if (length == 0 || c.out.size() - (c.out_end - c.out_start) < kMaxFrame) {
            break;
        }
        const auto frame_size = static_cast<std::size_t>(length);
        Exception refused = decode({c.in.data(), frame_size}, c.request);
        std::memmove(c.in.data(), c.in.data() + frame_size, c.in_used - frame_size);
        c.in_used -= frame_size;
        if (refused == Exception::None && is_write(c.request.function) && !c.may_write) {
            refused = Exception::IllegalFunction;
        }
        Worker *worker = refused == Exception::None ? units_.find(c.request.unit) : nullptr;
        if (refused == Exception::None && worker == nullptr) {
            refused = Exception::PathUnavailable;
        }
        if (log_.verbose()) {
            log_.detail("unit " + std::to_string(c.request.unit) + " function " + std::to_string(c.request.function) +
                    " address " + std::to_string(c.request.address) + " count " + std::to_string(c.request.count) +
                    " from " + c.name);
        }
        if (refused == Exception::None && is_status_request(c.request)) {
            answer_now(c, status_registers(unit_status(*worker), c.request, c.reply.registers.data()));
            continue;
        }
        if (refused == Exception::None && worker->stalled()) {
            refused = Exception::TargetFailed; // its module hangs: no use waiting behind it
        }
        if (refused == Exception::None) {
            Pending *p = take_pending();
            if (p != nullptr) {
                p->connection = &c;
                p->asker = c.client;
                p->request = c.request;
                c.pending = p;
                const bool starts_now = worker->awake() && clients.load(std::memory_order_relaxed) == 1;
                if (worker->submit(*p)) {
                    answer_soon_ = starts_now;
                    break;
                }
                c.pending = nullptr;
                recycle(*p);
            }
            refused = Exception::DeviceBusy;
        }
        answer_now(c, refused);
    }
    if (!c.open()) {
        return;
    }
    flush(c);
    if (c.open() && c.peer_done && c.in_flight()) {
        // Its master gave up waiting (a hung module): the slot frees now.
        close(c, "disconnect with a request at its module, whose answer is dropped");
        return;
    }
    if (c.open() && !c.in_flight() && c.out_start == c.out_end && (c.peer_done || c.closing != nullptr)) {
        close(c, c.closing != nullptr ? c.closing : c.in_used != 0 ? "disconnect mid-frame" : "disconnect");
        return;
    }
    if (c.open()) {
        update_interest(c);
    }
}

void ModbusRoom::Loop::answer_now(Connection &c, Exception exception) {
    if (c.out.size() - c.out_end < kMaxFrame) {
        std::memmove(c.out.data(), c.out.data() + c.out_start, c.out_end - c.out_start);
        c.out_end -= c.out_start;
        c.out_start = 0;
    }
    c.reply.exception = exception;
    c.out_end += encode(c.request, c.reply, {c.out.data() + c.out_end, c.out.size() - c.out_end});
}

void ModbusRoom::Loop::flush(Connection &c) {
    while (c.out_start < c.out_end) {
        const ssize_t sent =
            ::send(c.fd(), c.out.data() + c.out_start, c.out_end - c.out_start, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            c.out_start += static_cast<std::size_t>(sent);
            c.last_active = Clock::now();
        } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        } else {
            close(c, sent < 0 ? std::strerror(errno) : "send failed");
            return;
        }
    }
    c.out_start = c.out_end = 0;
}

// Waits for what the connection can use next: bytes while its buffer has
// room, and room to send while answers wait. When its bytes may not have
// been read to the end, it reads first instead of waiting.
void ModbusRoom::Loop::update_interest(Connection &c) {
    const bool want_read = !c.peer_done && c.closing == nullptr && c.in_used < c.in.size();
    if (want_read && !c.read_armed) {
        c.read_armed = true;
        const auto then = on(c, [this](Connection &now, error_code ec) {
            now.read_armed = false;
            if (!ec) readable(now);
        });
        if (c.maybe_more) {
            asio::post(context_, [then] { then(error_code{}); });
        } else {
            c.socket->async_wait(tcp::socket::wait_read, then);
        }
    }
    if (c.out_start < c.out_end && !c.write_armed) {
        c.write_armed = true;
        c.socket->async_wait(tcp::socket::wait_write, on(c, [this](Connection &now, error_code ec) {
            now.write_armed = false;
            if (ec) return;
            flush(now);
            if (now.open()) advance(now);
        }));
    }
}

void ModbusRoom::Loop::close(Connection &c, const std::string &why) {
    log_.line(Topic::Connection, "disconnect " + c.name + ": " + why);
    error_code ignored;
    c.socket->close(ignored); // its waits end, and find the slot moved on
    c.socket.reset();
    ++c.generation;
    c.client.reset();
    --clients;
    if (c.pending != nullptr) {
        c.pending->connection = nullptr; // its answer will be dropped
        c.pending = nullptr;
    }
    c.name.clear();
}

void ModbusRoom::Loop::await_sweep() {
    if (options_.idle_timeout.count() == 0) return;
    sweep_timer_.expires_after(std::chrono::seconds(1));
    sweep_timer_.async_wait([this](error_code ec) {
        if (ec || stopping_) return;
        sweep(Clock::now());
        await_sweep();
    });
}

void ModbusRoom::Loop::sweep(Clock::time_point now) {
    for (auto &slot : slots_) {
        if (slot && slot->open() && !slot->in_flight() && now - slot->last_active >= options_.idle_timeout) {
            close(*slot, "idle for " + seconds(now - slot->last_active));
        }
    }
}

ModbusRoom::ModbusRoom(ModbusOptions options, NetworkLoop &network, Units &units, Log &log)
    : loop_(std::make_unique<Loop>(std::move(options), network, units, log)) {
    network.on_stop([loop = loop_.get()] { loop->shutdown(); });
}

ModbusRoom::~ModbusRoom() = default;

std::size_t ModbusRoom::clients() const { return loop_->clients.load(); }

void ModbusRoom::reload_access(std::vector<Cidr> allow, std::vector<Cidr> allow_write) {
    loop_->reload_access(std::move(allow), std::move(allow_write));
}

} // namespace kdxd
