// SPDX-License-Identifier: MIT
#include "front/modbus/modbus_room.h"

#include "front/modbus/modbus_map.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace kdxd {

namespace {

using Clock = std::chrono::steady_clock;
using namespace modbus;

// A client's requests wait here until their turn (one at a time per
// client, so that its replies keep their order), and its replies until it
// reads them. When its replies are not read, its requests are not read
// either: TCP's own flow control then holds the client back.
constexpr std::size_t kInBuffer = 1024, kOutBuffer = 4096;
// Out of descriptors: accepting rests this long before it tries again.
constexpr auto kAcceptPause = std::chrono::milliseconds(250);
constexpr int kAcceptsPerWake = 64;

constexpr uint64_t kListenerTag = 0, kWakeTag = 1, kFirstSlotTag = 2;

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
    Loop(ModbusOptions options, Units &units, Log &log);
    ~Loop();
    void run();
    void request_stop();
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
        int fd = -1;
        Pending *pending = nullptr; // the request a worker has
        bool peer_done = false;     // the client sent FIN: answer what came, then close
        const char *closing = nullptr; // why it closes once its answers are out
        bool may_write = false;
        Address address{};
        std::shared_ptr<const Client> client; // as the audit trail names it
        uint32_t interest = 0;
        std::string name;
        Clock::time_point last_active;
        std::array<uint8_t, kInBuffer> in{};
        std::size_t in_used = 0;
        std::array<uint8_t, kOutBuffer> out{};
        std::size_t out_start = 0, out_end = 0;
        Request request;
        Reply reply;
        bool in_flight() const { return pending != nullptr; }
    };

    // Requests may wait at workers for every slot, and for connections
    // closed since (at most a worker queue's worth each): bounded, reused.
    Pending *take_pending();
    void recycle(Pending &p);

    void post(Pending &p);
    void take_finished();
    void accept_clients(Clock::time_point now);
    void admit(int fd, const sockaddr_storage &peer, Clock::time_point now);
    Connection *free_slot(Clock::time_point now, const std::string &newcomer);
    void on_event(Connection &c, uint32_t events);
    void receive(Connection &c);
    void advance(Connection &c);
    void answer_now(Connection &c, Exception exception);
    void flush(Connection &c);
    void update_interest(Connection &c);
    void close(Connection &c, const std::string &why);
    void sweep(Clock::time_point now);
    void pause_accepting(Clock::time_point now, int error);
    void set_listener(uint32_t events);
    void recheck_access();
    void wake();

    const ModbusOptions options_;
    LiveCidrs allow_, allow_write_;
    std::atomic<bool> access_changed_{false};
    Units &units_;
    Log &log_;
    int epoll_ = -1, listener_ = -1, wake_ = -1;
    std::vector<std::unique_ptr<Connection>> slots_;
    std::vector<std::unique_ptr<Pending>> pendings_;
    Pending *free_pending_ = nullptr;
    std::size_t pending_limit_ = 0, pending_out_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex done_mutex_;
    Pending *done_ = nullptr;
    bool accepting_ = true, descriptors_short_ = false, descriptors_logged_ = false, announce_recovery_ = false;
    Clock::time_point descriptors_logged_at_{};
    Clock::time_point resume_accepting_{};
    Clock::time_point next_sweep_{};
};

ModbusRoom::Loop::Loop(ModbusOptions options, Units &units, Log &log)
    : options_(std::move(options)), allow_(options_.allow), allow_write_(options_.allow_write), units_(units),
      log_(log), slots_(options_.max_clients),
      pending_limit_(options_.max_clients + Worker::kQueueLimit) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || wake_ < 0) {
        throw std::system_error(errno, std::generic_category(), "epoll for Modbus");
    }
    listener_ = listen_on(options_.endpoint, kBacklog);
    epoll_event listen_event{EPOLLIN, {.u64 = kListenerTag}};
    epoll_event wake_event{EPOLLIN, {.u64 = kWakeTag}};
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &listen_event);
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &wake_event);
    log_.line(Topic::Service, "Modbus TCP on " + options_.endpoint.text);
}

ModbusRoom::Loop::~Loop() {
    for (int fd : {listener_, wake_, epoll_}) {
        if (fd >= 0) ::close(fd);
    }
}

void ModbusRoom::Loop::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void ModbusRoom::Loop::request_stop() {
    stopping_ = true;
    wake();
}

void ModbusRoom::Loop::reload_access(std::vector<Cidr> allow, std::vector<Cidr> allow_write) {
    allow_.replace(std::move(allow));
    allow_write_.replace(std::move(allow_write));
    access_changed_ = true;
    wake();
}

// On the loop, after a reload: the lists hold for every open connection.
void ModbusRoom::Loop::recheck_access() {
    for (auto &slot : slots_) {
        if (!slot || slot->fd < 0) continue;
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
    ++pending_out_;
    return p;
}

void ModbusRoom::Loop::recycle(Pending &p) {
    p.connection = nullptr;
    p.asker.reset();
    p.next = free_pending_;
    free_pending_ = &p;
    --pending_out_;
}

// On a worker's thread.
void ModbusRoom::Loop::post(Pending &p) {
    bool was_empty = false;
    {
        std::lock_guard guard(done_mutex_);
        was_empty = done_ == nullptr;
        p.next = done_;
        done_ = &p;
    }
    if (was_empty) wake();
}

void ModbusRoom::Loop::take_finished() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
    Pending *done = nullptr;
    {
        std::lock_guard guard(done_mutex_);
        done = done_;
        done_ = nullptr;
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

void ModbusRoom::Loop::run() {
    std::array<epoll_event, 64> events{};
    while (!stopping_) {
        if (access_changed_.exchange(false)) recheck_access();
        const auto now = Clock::now();
        if (!accepting_ && now >= resume_accepting_) {
            accepting_ = true;
            set_listener(EPOLLIN);
        }
        if (now >= next_sweep_) {
            sweep(now);
            next_sweep_ = now + std::chrono::seconds(1);
        }
        auto until = next_sweep_;
        if (!accepting_ && resume_accepting_ < until) until = resume_accepting_;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
        const int ready = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), static_cast<int>(wait));
        for (int i = 0; i < ready; ++i) {
            const uint64_t tag = events[static_cast<std::size_t>(i)].data.u64;
            if (tag == kWakeTag) {
                take_finished();
            } else if (tag == kListenerTag) {
                accept_clients(Clock::now());
            } else {
                Connection &c = *slots_[tag - kFirstSlotTag];
                if (c.fd >= 0) on_event(c, events[static_cast<std::size_t>(i)].events);
            }
        }
    }
    // Stopping: drop every client, then give the requests still at a
    // worker a moment to come back. One whose module hangs is not waited
    // for: its answer goes nowhere, and the workers are stopped (or the
    // process ends) before this loop is destroyed.
    for (auto &slot : slots_) {
        if (slot && slot->fd >= 0) close(*slot, "stopping");
    }
    const auto give_up = Clock::now() + std::chrono::seconds(1);
    while (pending_out_ != 0 && Clock::now() < give_up) {
        pollfd wake{wake_, POLLIN, 0};
        ::poll(&wake, 1, 100);
        take_finished();
    }
}

void ModbusRoom::Loop::set_listener(uint32_t events) {
    epoll_event event{events, {.u64 = kListenerTag}};
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &event);
}

void ModbusRoom::Loop::pause_accepting(Clock::time_point now, int error) {
    accepting_ = false;
    resume_accepting_ = now + kAcceptPause;
    set_listener(0);
    // Logged once, and again only a minute later: running out comes in
    // waves, as the queue of waiting connections is taken.
    if (!descriptors_short_ && (!descriptors_logged_ || now - descriptors_logged_at_ >= std::chrono::minutes(1))) {
        descriptors_logged_ = true;
        descriptors_logged_at_ = now;
        announce_recovery_ = true;
        log_.line(Topic::Service, std::string("cannot accept: ") + std::strerror(error) +
                                      "; accepting pauses until descriptors are free");
    }
    descriptors_short_ = true;
}

void ModbusRoom::Loop::accept_clients(Clock::time_point now) {
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        sockaddr_storage peer{};
        socklen_t size = sizeof peer;
        const int fd = ::accept4(listener_, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                pause_accepting(now, errno);
                return;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return;
            }
            continue; // the peer gave up in the meantime (ECONNABORTED and the like)
        }
        if (descriptors_short_ && announce_recovery_) {
            announce_recovery_ = false;
            log_.line(Topic::Service, "accepting again");
        }
        descriptors_short_ = false;
        admit(fd, peer, now);
    }
}

void ModbusRoom::Loop::admit(int fd, const sockaddr_storage &peer, Clock::time_point now) {
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
    c->fd = fd;
    c->pending = nullptr;
    c->peer_done = false;
    c->closing = nullptr;
    c->may_write = allow_write_.contains(address);
    c->address = address;
    c->client = std::make_shared<const Client>(modbus_client(name, c->may_write));
    c->name = std::move(name);
    c->last_active = now;
    c->in_used = c->out_start = c->out_end = 0;
    c->interest = EPOLLIN;
    epoll_event event{EPOLLIN, {.u64 = kFirstSlotTag + c->slot}};
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    ++clients;
    log_.line(Topic::Connection, "connect " + c->name + (c->may_write ? " (may write)" : " (read only)"));
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
        if (c.fd < 0) {
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

void ModbusRoom::Loop::on_event(Connection &c, uint32_t events) {
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && !c.peer_done) {
        receive(c);
    } else if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
        close(c, "disconnect");
    }
    if (c.fd >= 0 && (events & EPOLLOUT) != 0) {
        flush(c);
    }
    if (c.fd >= 0) {
        advance(c);
    }
}

void ModbusRoom::Loop::receive(Connection &c) {
    if (c.in_used == c.in.size() || c.closing != nullptr) {
        return;
    }
    const ssize_t got = ::recv(c.fd, c.in.data() + c.in_used, c.in.size() - c.in_used, 0);
    if (got > 0) {
        c.in_used += static_cast<std::size_t>(got);
        c.last_active = Clock::now();
    } else if (got == 0) {
        c.peer_done = true;
    } else if (errno != EAGAIN && errno != EINTR) {
        close(c, std::strerror(errno));
    }
}

// Takes the client's next whole request, when its previous one is
// answered and its buffer has room for the answer.
void ModbusRoom::Loop::advance(Connection &c) {
    while (c.fd >= 0 && !c.in_flight() && c.closing == nullptr) {
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
                if (worker->submit(*p)) {
                    break;
                }
                c.pending = nullptr;
                recycle(*p);
            }
            refused = Exception::DeviceBusy;
        }
        answer_now(c, refused);
    }
    if (c.fd < 0) {
        return;
    }
    flush(c);
    if (c.fd >= 0 && c.peer_done && c.in_flight()) {
        // Its master gave up waiting (a hung module): the slot frees now.
        close(c, "disconnect with a request at its module, whose answer is dropped");
        return;
    }
    if (c.fd >= 0 && !c.in_flight() && c.out_start == c.out_end && (c.peer_done || c.closing != nullptr)) {
        close(c, c.closing != nullptr ? c.closing : c.in_used != 0 ? "disconnect mid-frame" : "disconnect");
        return;
    }
    if (c.fd >= 0) {
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
            ::send(c.fd, c.out.data() + c.out_start, c.out_end - c.out_start, MSG_NOSIGNAL | MSG_DONTWAIT);
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

void ModbusRoom::Loop::update_interest(Connection &c) {
    uint32_t want = 0;
    if (!c.peer_done && c.closing == nullptr && c.in_used < c.in.size()) want |= EPOLLIN;
    if (c.out_start < c.out_end) want |= EPOLLOUT;
    if (want != c.interest) {
        epoll_event event{want, {.u64 = kFirstSlotTag + c.slot}};
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &event);
        c.interest = want;
    }
}

void ModbusRoom::Loop::close(Connection &c, const std::string &why) {
    log_.line(Topic::Connection, "disconnect " + c.name + ": " + why);
    ::close(c.fd); // leaves the epoll set with it
    c.fd = -1;
    c.client.reset();
    --clients;
    if (c.pending != nullptr) {
        c.pending->connection = nullptr; // its answer will be dropped
        c.pending = nullptr;
    }
    c.name.clear();
}

void ModbusRoom::Loop::sweep(Clock::time_point now) {
    if (options_.idle_timeout.count() == 0) {
        return;
    }
    for (auto &slot : slots_) {
        if (slot && slot->fd >= 0 && !slot->in_flight() && now - slot->last_active >= options_.idle_timeout) {
            close(*slot, "idle for " + seconds(now - slot->last_active));
        }
    }
}

ModbusRoom::ModbusRoom(ModbusOptions options, Units &units, Log &log)
    : loop_(std::make_unique<Loop>(std::move(options), units, log)) {}

std::size_t ModbusRoom::clients() const { return loop_->clients.load(); }

void ModbusRoom::reload_access(std::vector<Cidr> allow, std::vector<Cidr> allow_write) {
    loop_->reload_access(std::move(allow), std::move(allow_write));
}

ModbusRoom::~ModbusRoom() { stop(); }

void ModbusRoom::start() {
    thread_ = std::thread([this] { loop_->run(); });
}

void ModbusRoom::stop() {
    if (thread_.joinable()) {
        loop_->request_stop();
        thread_.join();
    }
}

} // namespace kdxd
