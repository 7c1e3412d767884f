// SPDX-License-Identifier: MIT
#include "http_room.h"

#include "service.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <cerrno>
#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <variant>

namespace kdxd {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// Events that may wait for a slow event-stream reader (a whole replay, and
// more); more close it.
constexpr std::size_t kStreamQueueLimit = EventHub::kRing + 1024;
// A comment line this often keeps proxies and the browser from closing an
// idle stream, and finds readers that went away.
constexpr auto kStreamKeepalive = std::chrono::seconds(15);

// The API's answer: a status and a JSON body.
struct Answer {
    int status = 200;
    json body;
};

// 4xx and 5xx bodies: what went wrong, and the library's result code when
// the library said it.
Answer failure(int status, const std::string &text, int result = 0) {
    json body{{"error", text}};
    if (result != 0) body["result"] = result;
    return {status, body};
}

Answer failure_of(const std::error_code &code) {
    const int result = code.category() == kdx::category() ? code.value() : 0;
    const std::string text = result != 0 ? KDXIO_GetResultString(static_cast<int16_t>(result)) : code.message();
    if (code == kdx::errc::invalid_param) return failure(422, text, result);
    if (code == kdx::errc::busy) return failure(503, text, result);
    return failure(502, text, result); // the module did not answer as it should
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// A request body as JSON; discarded when it is not JSON. twice: an object
// names a key twice (which of the two was meant is not ours to guess).
json parse_body(const std::string &text, bool &twice) {
    std::vector<std::set<std::string>> keys;
    twice = false;
    json body = json::parse(
        text,
        [&](int, json::parse_event_t event, json &parsed) {
            if (event == json::parse_event_t::object_start) keys.emplace_back();
            if (event == json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
            if (event == json::parse_event_t::key && !keys.empty() && !keys.back().insert(parsed.get<std::string>()).second) {
                twice = true;
            }
            return true;
        },
        false);
    return body;
}

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(value));
    return text;
}

// A mask as JSON: a number (exact up to 2^53) or a "0x..." string (all 64 bits).
std::optional<uint64_t> mask_of(const json &value) {
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        if (text.size() < 3 || text.size() > 18 || text.rfind("0x", 0) != 0 ||
            text.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos) {
            return std::nullopt;
        }
        return std::stoull(text, nullptr, 16);
    }
    return std::nullopt;
}

json identity_json(const Identity &identity) {
    json out{{"node", identity.node},
             {"product", identity.product},
             {"firmware_version", identity.firmware_version},
             {"firmware_date", identity.firmware_date},
             {"nickname", identity.nickname},
             {"counts",
              {{"di", identity.counts.di},
               {"do", identity.counts.do_},
               {"ai", identity.counts.ai},
               {"ao", identity.counts.ao},
               {"pi", identity.counts.pi},
               {"po", identity.counts.po}}}};
    out["product_id"] = identity.product_id ? json(*identity.product_id) : json(nullptr);
    out["board_id"] = identity.board_id ? json(*identity.board_id) : json(nullptr);
    return out;
}

json summary(const Worker &worker) {
    json out{{"id", worker.unit()}, {"target", worker.target().describe()}, {"present", worker.present()}};
    const auto identity = worker.identity();
    out["identity"] = identity ? identity_json(*identity) : json(nullptr);
    return out;
}

// A module's state as the API shows it: one snapshot of the service.
json state_of(kdx::Module &m, const Worker &worker) {
    const service::Snapshot s = service::snapshot(m);
    json out = summary(worker);
    out["outputs"] = hex(s.outputs);
    out["power_on"] = hex(s.power_on);
    out["output_inverse"] = s.output_inverse;
    out["safety"] = {{"first", hex(s.safety.outputs)}, {"second", hex(s.safety.values)}};
    out["inputs"] = hex(s.info.inputs);
    out["filter"] = s.filter;
    out["input_inverse"] = s.input_inverse;
    out["edge"] = s.edge;
    out["counters"] = s.counters;
    out["watchdog_timeout"] = s.info.watchdog_timeout;
    out["write_protect"] = s.write_protect;
    out["frame_rate_factor"] = s.frame_rate_factor;
    out["nickname"] = s.nickname;
    out["watch"] = worker.watch_state();
    return out;
}

Answer refused(const service::Refusal &refusal) {
    return refusal.kind == service::Refusal::Kind::write_protected ? failure(409, refusal.text)
                                                                   : failure(422, refusal.text, RESULT_INVALID_PARAM);
}

// The JSON of a settings request as the service's record: only its shape
// is checked here; the values are the service's (the library's) to judge.
std::variant<service::Settings, Answer> settings_of(const json &body) {
    static const std::set<std::string> known = {"filter", "input_inverse", "edge", "output_inverse", "power_on",
                                                "safety", "watchdog_timeout", "nickname", "write_protect",
                                                "frame_rate_factor"};
    if (!body.is_object() || body.empty()) return failure(422, "expected an object of settings");
    for (const auto &[key, value] : body.items()) {
        if (known.count(key) == 0) return failure(422, "unknown setting '" + key + "'");
    }
    service::Settings r;
    const auto number = [&](const char *key, std::optional<uint64_t> &into) {
        if (!body.contains(key)) return true;
        const json &v = body.at(key);
        if (!v.is_number_unsigned()) return false;
        into = v.get<uint64_t>();
        return true;
    };
    const auto flag = [&](const char *key, std::optional<uint64_t> &into) {
        if (!body.contains(key)) return true;
        if (!body.at(key).is_boolean()) return false;
        into = body.at(key).get<bool>() ? 1 : 0;
        return true;
    };
    if (!number("filter", r.filter)) return failure(422, "filter is 0 to 65535");
    if (!number("edge", r.edge)) return failure(422, "edge is 0 (rising) or 1 (falling)");
    if (!number("frame_rate_factor", r.frame_rate_factor)) return failure(422, "frame_rate_factor is 0 to 255");
    if (!number("watchdog_timeout", r.watchdog_timeout)) return failure(422, "watchdog_timeout is a number of ms");
    for (const auto &[key, into] : {std::pair{"input_inverse", &r.input_inverse},
                                    std::pair{"output_inverse", &r.output_inverse},
                                    std::pair{"write_protect", &r.write_protect}}) {
        if (!flag(key, *into)) return failure(422, std::string(key) + " is true or false");
    }
    if (body.contains("power_on")) {
        r.power_on = mask_of(body["power_on"]);
        if (!r.power_on) return failure(422, "power_on is a mask: a number or \"0x...\"");
    }
    if (body.contains("safety")) {
        const json &s = body["safety"];
        const auto first = s.is_object() && s.contains("first") ? mask_of(s["first"]) : std::nullopt;
        const auto second = s.is_object() && s.contains("second") ? mask_of(s["second"]) : std::nullopt;
        if (!first || !second) return failure(422, "safety is {first, second}, masks of outputs the module has");
        r.safety = kdx::Module::Safety{first.value_or(0), second.value_or(0)};
    }
    if (body.contains("nickname")) {
        if (!body["nickname"].is_string()) return failure(422, "nickname is a string of at most 32 bytes");
        r.nickname = body["nickname"].get<std::string>();
    }
    return r;
}

Answer apply_settings(kdx::Module &m, Worker &worker, const json &body) {
    auto record = settings_of(body);
    if (const Answer *bad = std::get_if<Answer>(&record)) return *bad;
    if (const auto refusal = service::change_settings(m, worker, std::get<service::Settings>(record))) {
        return refused(*refusal);
    }
    return {200, state_of(m, worker)};
}

Answer write_outputs(kdx::Module &m, Worker &worker, const json &body) {
    uint64_t mask = 0, value = 0;
    if (body.is_object() && body.contains("channel")) {
        const json &channel = body["channel"];
        if (!channel.is_number_unsigned() || channel.get<uint64_t>() > 255 || !body.contains("on") ||
            !body["on"].is_boolean()) {
            return failure(422, "expected {\"channel\": N, \"on\": true|false}");
        }
        if (KDX7400_CheckChannel(m.index(), KDX7400_OUTPUTS, channel.get<uint8_t>()) != RESULT_OK) {
            return failure(422, "output " + std::to_string(channel.get<unsigned>()) + " does not exist", RESULT_INVALID_PARAM);
        }
        mask = uint64_t{1} << channel.get<unsigned>();
        value = body["on"].get<bool>() ? mask : 0;
    } else {
        const auto m_mask = body.is_object() && body.contains("mask") ? mask_of(body["mask"]) : std::nullopt;
        const auto m_value = body.is_object() && body.contains("value") ? mask_of(body["value"]) : std::nullopt;
        if (!m_mask || !m_value) return failure(422, "expected {\"mask\": M, \"value\": V} or {\"channel\": N, \"on\": B}");
        mask = m_mask.value_or(0);
        value = m_value.value_or(0);
        if ((value & ~mask) != 0) return failure(422, "value sets outputs outside the mask", RESULT_INVALID_PARAM);
    }
    const auto outputs = service::update_outputs(m, worker, mask, value);
    if (const auto *refusal = std::get_if<service::Refusal>(&outputs)) return refused(*refusal);
    return {200, {{"outputs", hex(std::get<uint64_t>(outputs))}}};
}

Answer clear_watchdog(kdx::Module &m, Worker &, const json &) {
    service::clear_watchdog(m);
    return Answer{200, {{"watchdog_timeout", m.watchdog_timeout()}}};
}

// One API call carried out by a module's worker, waited for by the HTTP
// thread. It keeps itself alive until the worker is done with it, so that
// a caller that gave up (504) leaves nothing dangling.
class Call final : public Job, public std::enable_shared_from_this<Call> {
public:
    using Work = std::function<Answer(kdx::Module &, Worker &)>;

    static Answer on(Worker &worker, Work work, std::chrono::seconds timeout, bool writes = false) {
        auto call = std::make_shared<Call>(std::move(work), writes);
        call->self_ = call;
        if (!worker.submit(*call)) {
            call->self_.reset();
            return failure(503, "too many requests wait for this module");
        }
        std::unique_lock lock(call->mutex_);
        if (!call->done_cv_.wait_for(lock, timeout, [&] { return call->done_; })) {
            return failure(504, "the module did not answer in time");
        }
        return call->answer_;
    }

    Call(Work work, bool writes) : work_(std::move(work)), writes_(writes) {}
    bool is_write() const override { return writes_; }

    bool run(kdx::Module *module, Worker &worker) override {
        Answer answer;
        bool transfer_failed = false;
        if (module == nullptr) {
            answer = failure(503, "the module is absent", RESULT_NOT_OPEN);
        } else {
            try {
                answer = work_(*module, worker);
            } catch (const kdx::Error &error) {
                answer = failure_of(error.code());
                transfer_failed = error.code() != kdx::errc::invalid_param;
            } catch (const std::exception &error) {
                answer = failure(500, error.what());
            }
        }
        std::lock_guard guard(mutex_);
        answer_ = std::move(answer);
        return !transfer_failed;
    }

    void finished() override {
        std::shared_ptr<Call> keep;
        {
            std::lock_guard guard(mutex_);
            done_ = true;
            keep = std::move(self_);
        }
        done_cv_.notify_all();
    }

private:
    Work work_;
    const bool writes_;
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    Answer answer_;
    std::shared_ptr<Call> self_;
};

// One event-stream reader: events wait in its own bounded queue (room for
// a whole ring's replay); a reader that falls further behind is closed, and
// resumes from the ring when it reconnects. Nobody else waits for it.
class Stream final : public EventSink {
public:
    Stream(std::string boot, bool all_units) : boot_(std::move(boot)), all_units_(all_units) {}

    void deliver(const ModuleEvent &event) override {
        std::lock_guard guard(mutex_);
        if (queue_.size() >= kStreamQueueLimit) {
            overflowed_ = true;
        } else {
            queue_.push_back(event);
        }
        ready_.notify_one();
    }
    void end() {
        std::lock_guard guard(mutex_);
        ended_ = true;
        ready_.notify_one();
    }
    // Waits for events (or the keepalive time) and formats them into out;
    // false once the stream ends.
    bool next(std::string &out) {
        std::deque<ModuleEvent> events;
        {
            std::unique_lock lock(mutex_);
            ready_.wait_for(lock, kStreamKeepalive, [&] { return !queue_.empty() || ended_ || overflowed_; });
            if (ended_ || overflowed_) return false;
            events.swap(queue_);
        }
        for (const ModuleEvent &event : events) out += format(event);
        return true;
    }

    // The SSE id is the reader's position: this run, and the unit's number
    // (or the number across units on the stream of all units).
    std::string id(uint64_t number) const { return boot_ + ":" + std::to_string(number); }

    std::string format(const ModuleEvent &event) const {
        const double time = std::chrono::duration<double>(event.input.wall.time_since_epoch()).count();
        json data{{"unit", event.unit}, {"time", time}, {"seq", event.seq}, {"boot", boot_}};
        const char *name = "input";
        switch (event.kind) {
        case ModuleEvent::Kind::plugged: name = "plugged"; break;
        case ModuleEvent::Kind::unplugged: name = "unplugged"; break;
        case ModuleEvent::Kind::outputs:
            name = "outputs";
            data["outputs"] = hex(event.outputs);
            break;
        case ModuleEvent::Kind::input:
            data["channel"] = event.input.channel;
            data["kind"] = event.input.kind == kdx::InputEvent::Kind::rising    ? "rising"
                           : event.input.kind == kdx::InputEvent::Kind::falling ? "falling"
                                                                                : "pulses";
            data["count"] = event.input.count;
            break;
        }
        if (all_units_) data["global"] = event.global;
        return "id: " + id(all_units_ ? event.global : event.seq) + "\nevent: " + name + "\ndata: " + data.dump() +
               "\n\n";
    }

private:
    const std::string boot_;
    const bool all_units_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<ModuleEvent> queue_;
    bool overflowed_ = false, ended_ = false;
};

// Last-Event-ID: "BOOT:N", the position a reader had.
struct Position {
    std::string boot;
    uint64_t number = 0;
};
std::optional<Position> position_of(const std::string &text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon + 1 == text.size() ||
        text.find_first_not_of("0123456789", colon + 1) != std::string::npos || text.size() - colon > 20) {
        return std::nullopt;
    }
    return Position{text.substr(0, colon), std::stoull(text.substr(colon + 1))};
}

// httplib's pool queues every accepted connection; this one takes at most
// as many as it has threads waiting, and then accepting waits (the
// kernel's backlog holds the rest), so that connections stay bounded.
class BoundedPool final : public httplib::TaskQueue {
public:
    explicit BoundedPool(std::size_t threads) : limit_(threads) {
        for (std::size_t i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { work(); });
        }
    }
    void enqueue(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return jobs_.size() < limit_ || shutdown_; });
        jobs_.push_back(std::move(fn));
        ready_.notify_one();
    }
    void shutdown() override {
        {
            std::lock_guard guard(mutex_);
            shutdown_ = true;
        }
        ready_.notify_all();
        room_.notify_all();
        for (auto &t : threads_) t.join();
    }

private:
    void work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return !jobs_.empty() || shutdown_; });
                if (jobs_.empty()) return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
                room_.notify_one();
            }
            fn();
        }
    }
    const std::size_t limit_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<std::function<void()>> jobs_;
    bool shutdown_ = false;
};

std::optional<Address> address_of(const std::string &text) {
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        sockaddr_storage peer{};
        reinterpret_cast<sockaddr_in &>(peer).sin_family = AF_INET;
        reinterpret_cast<sockaddr_in &>(peer).sin_addr = v4;
        return peer_address(peer);
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        Address out{};
        std::memcpy(out.data(), &v6, 16);
        return out;
    }
    return std::nullopt;
}

bool same_text(const std::string &a, const std::string &b) {
    // Constant time in the token's length: how much of a guess was right
    // does not show in how long the refusal takes.
    unsigned char differ = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        differ = static_cast<unsigned char>(differ | (a[i] ^ (i < b.size() ? b[i] : 0)));
    }
    return differ == 0;
}

void reply(httplib::Response &res, const Answer &answer) {
    res.status = answer.status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(answer.body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

} // namespace

class HttpRoom::Server {
public:
    Server(HttpOptions options, Units &units, Log &log);
    void run() { server_.listen_after_bind(); }
    void stop();

private:
    bool admitted(const httplib::Request &req, httplib::Response &res);
    bool right_host(const httplib::Request &req) const;
    bool cors_origin(const std::string &origin) const;
    bool method_routed(const httplib::Request &req, httplib::Response &res);
    bool may_write(const httplib::Request &req, httplib::Response &res);
    bool write_routed(const httplib::Request &req, httplib::Response &res);
    void body_call(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &content,
                   const std::function<Answer(kdx::Module &, Worker &, const json &)> &work);
    Worker *unit(const std::string &id, httplib::Response &res);
    void module_call(const std::string &id, httplib::Response &res, bool writes,
                     const std::function<Answer(kdx::Module &, Worker &, const json &)> &work,
                     const std::string &text = std::string());
  public:
    void reload_token();
  private:
    std::string token() const;
    void events(const httplib::Request &req, httplib::Response &res, bool all_units);
    void serve_file(const httplib::Request &req, httplib::Response &res) const;
    std::filesystem::path root_;

    const HttpOptions options_;
    mutable std::mutex token_mutex_;
    std::string token_;
    Units &units_;
    Log &log_;
    httplib::Server server_;
    std::string openapi_;
    int listener_ = -1;
    std::mutex streams_mutex_;
    std::set<Stream *> streams_;
    bool stopping_ = false;
};

HttpRoom::Server::Server(HttpOptions options, Units &units, Log &log)
    : options_(std::move(options)), units_(units), log_(log) {
    if (!options_.token_file.empty()) token_ = read_token(options_.token_file);
    std::ifstream openapi(options_.root + "/openapi.json");
    std::stringstream text;
    text << openapi.rdbuf();
    openapi_ = text.str();
    if (openapi_.empty()) {
        throw std::invalid_argument("no page in '" + options_.root + "' (--http-root): openapi.json is missing");
    }
    server_.new_task_queue = [n = options_.max_clients] { return new BoundedPool(n); };
    server_.set_payload_max_length(kMaxBody);
    // A silent or slow client holds a thread at most this long.
    const time_t idle = std::min<time_t>(options_.idle_timeout.count() == 0 ? 60 : options_.idle_timeout.count(), 60);
    server_.set_read_timeout(std::min<time_t>(idle, 10), 0);
    server_.set_write_timeout(10, 0);
    server_.set_keep_alive_timeout(idle);
    server_.set_keep_alive_max_count(1000);
    server_.set_socket_options([this](int fd) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // Accepted connections inherit it: httplib writes headers and body
        // apart, and Nagle would hold the body for the client's delayed ACK.
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        listener_ = fd;
    });
    // Who may ask, and for writes with what, is settled before a body is
    // read: an unauthorised body is never taken in.
    server_.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        return admitted(req, res) && !method_routed(req, res) && !write_routed(req, res)
                   ? httplib::Server::HandlerResponse::Unhandled
                   : httplib::Server::HandlerResponse::Handled;
    });
    // A browser origin the operator named may read the answers.
    server_.set_post_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        const std::string origin = req.get_header_value("Origin");
        if (!origin.empty() && cors_origin(origin)) {
            res.set_header("Access-Control-Allow-Origin", origin);
            res.set_header("Vary", "Origin");
        }
    });
    server_.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty()) reply(res, failure(res.status, res.status == 404 ? "no such page" : "refused"));
    });
    server_.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        reply(res, failure(500, "internal error"));
    });

    server_.Get("/api/openapi.json", [this](const httplib::Request &, httplib::Response &res) {
        res.set_content(openapi_, "application/json");
    });
    server_.Get("/api/modules", [this](const httplib::Request &, httplib::Response &res) {
        json list = json::array();
        for (const Worker *worker : units_.all()) list.push_back(summary(*worker));
        reply(res, {200, {{"modules", list}}});
    });
    server_.Get(R"(/api/modules/(\d+))", [this](const httplib::Request &req, httplib::Response &res) {
        module_call(req.matches[1], res, false,
                    [](kdx::Module &m, Worker &w, const json &) { return Answer{200, state_of(m, w)}; });
    });
    using Reader = httplib::ContentReader;
    server_.Put(R"(/api/modules/(\d+)/outputs)",
                [this](const httplib::Request &req, httplib::Response &res, const Reader &content) {
                    body_call(req, res, content, write_outputs);
                });
    server_.Post(R"(/api/modules/(\d+)/counters/clear)",
                 [this](const httplib::Request &req, httplib::Response &res, const Reader &content) {
                     body_call(req, res, content, [](kdx::Module &m, Worker &, const json &body) {
                         const auto mask =
                             body.is_object() && body.contains("mask") ? mask_of(body["mask"]) : std::nullopt;
                         if (!mask) return failure(422, "expected {\"mask\": M}");
                         if (const auto refusal = service::clear_counters(m, mask.value_or(0))) return refused(*refusal);
                         return Answer{200, {{"counters", m.read_counters()}}};
                     });
                 });
    server_.Post(R"(/api/modules/(\d+)/watchdog/clear)",
                 [this](const httplib::Request &req, httplib::Response &res, const Reader &content) {
                     body_call(req, res, content, clear_watchdog);
                 });
    server_.Patch(R"(/api/modules/(\d+)/settings)",
                  [this](const httplib::Request &req, httplib::Response &res, const Reader &content) {
                      body_call(req, res, content, apply_settings);
                  });
    server_.Get(R"(/api/modules/(\d+)/events)", [this](const httplib::Request &req, httplib::Response &res) {
        events(req, res, false);
    });
    server_.Get("/api/events", [this](const httplib::Request &req, httplib::Response &res) { events(req, res, true); });
    server_.Get(R"(/api/.*)", [](const httplib::Request &, httplib::Response &res) {
        reply(res, failure(404, "no such API path"));
    });
    // The page: only files that are in its folder, also through symlinks.
    std::error_code bad;
    root_ = std::filesystem::canonical(options_.root, bad);
    if (bad || !std::filesystem::is_directory(root_)) {
        throw std::invalid_argument("cannot serve the page from '" + options_.root + "'");
    }
    server_.Get(R"(/(.*))", [this](const httplib::Request &req, httplib::Response &res) { serve_file(req, res); });

    const auto &endpoint = options_.endpoint;
    char host[INET6_ADDRSTRLEN] = {};
    int port = 0;
    if (endpoint.address.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(endpoint.address);
        inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        port = ntohs(v4.sin_port);
    } else {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(endpoint.address);
        inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
        port = ntohs(v6.sin6_port);
    }
    if (!server_.bind_to_port(host, port) || listener_ < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot listen on " + endpoint.text);
    }
    ::listen(listener_, 1024); // a deeper backlog than httplib asks for
    log_.line(Topic::Service, "HTTP on " + endpoint.text);
}

void HttpRoom::Server::stop() {
    {
        std::lock_guard guard(streams_mutex_);
        stopping_ = true;
        for (Stream *stream : streams_) stream->end();
    }
    server_.stop();
}

bool HttpRoom::Server::admitted(const httplib::Request &req, httplib::Response &res) {
    const auto address = address_of(req.remote_addr);
    if (!options_.allow.empty() && (!address || !any_contains(options_.allow, *address))) {
        log_.line(Topic::Refusal, "refused HTTP " + req.remote_addr + ": not in --allow");
        reply(res, failure(403, "this address may not connect"));
        return false;
    }
    if (!right_host(req)) {
        // A name we were not given is a page on another site reaching us
        // through DNS rebinding: nothing is served to it, not even a read.
        log_.line(Topic::Refusal, "refused HTTP " + req.remote_addr + ": Host '" + req.get_header_value("Host") + "'");
        reply(res, failure(421, "this server does not answer to that name (kdx7400d --http-host NAME)"));
        return false;
    }
    log_.detail("HTTP " + req.method + " " + req.path + " from " + req.remote_addr);
    return true;
}

// Host may be an IP address (no DNS answer can make a page's own name into
// it), localhost, a name given with --http-host, or the public origin's.
bool HttpRoom::Server::right_host(const httplib::Request &req) const {
    std::string host = lower(req.get_header_value("Host"));
    if (host.empty()) return false;
    if (host.front() == '[') {
        host = host.substr(1, host.find(']') == std::string::npos ? host.size() : host.find(']') - 1);
    } else if (std::count(host.begin(), host.end(), ':') == 1) {
        host = host.substr(0, host.find(':'));
    }
    if (address_of(host) || host == "localhost") return true;
    if (std::find(options_.hosts.begin(), options_.hosts.end(), host) != options_.hosts.end()) return true;
    const std::string origin = lower(options_.public_origin);
    const std::size_t scheme = origin.find("://");
    return scheme != std::string::npos && origin.substr(scheme + 3, origin.find(':', scheme + 3) - scheme - 3) == host;
}

bool HttpRoom::Server::cors_origin(const std::string &origin) const {
    return std::find(options_.cors.begin(), options_.cors.end(), lower(origin)) != options_.cors.end();
}

// The API's paths and the methods each takes: another method is 405 with
// Allow, and a CORS preflight (OPTIONS) is answered from the same table.
bool HttpRoom::Server::method_routed(const httplib::Request &req, httplib::Response &res) {
    static const std::vector<std::pair<std::regex, std::string>> paths = {
        {std::regex("/api/modules"), "GET"},
        {std::regex("/api/events"), "GET"},
        {std::regex("/api/openapi.json"), "GET"},
        {std::regex(R"(/api/modules/\d+)"), "GET"},
        {std::regex(R"(/api/modules/\d+/events)"), "GET"},
        {std::regex(R"(/api/modules/\d+/outputs)"), "PUT"},
        {std::regex(R"(/api/modules/\d+/counters/clear)"), "POST"},
        {std::regex(R"(/api/modules/\d+/watchdog/clear)"), "POST"},
        {std::regex(R"(/api/modules/\d+/settings)"), "PATCH"},
    };
    for (const auto &[path, method] : paths) {
        if (!std::regex_match(req.path, path)) continue;
        const std::string allow = method == "GET" ? "GET, HEAD, OPTIONS" : method + ", OPTIONS";
        if (req.method == "OPTIONS") {
            const std::string origin = req.get_header_value("Origin");
            res.status = 204;
            res.set_header("Allow", allow);
            if (!origin.empty() && cors_origin(origin)) {
                res.set_header("Access-Control-Allow-Methods", allow);
                res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type, Last-Event-ID");
                res.set_header("Access-Control-Max-Age", "600");
            }
            return true;
        }
        if (req.method == method || (method == "GET" && req.method == "HEAD")) return false;
        res.set_header("Allow", allow);
        res.set_header("Connection", "close"); // a body it may have sent is not read
        reply(res, failure(405, req.method + " is not a method of " + req.path + " (" + allow + ")"));
        return true;
    }
    return false;
}

// Writing needs the bearer token whenever a token file is configured,
// from loopback too; without one, only an address the operator named in
// --http-allow-write-without-token may write. Either way the request must
// be JSON and not come from another site's page.
bool HttpRoom::Server::may_write(const httplib::Request &req, httplib::Response &res) {
    const std::string origin = lower(req.get_header_value("Origin"));
    const std::string host = lower(req.get_header_value("Host"));
    if (!origin.empty() && origin != "http://" + host && origin != "https://" + host &&
        origin != lower(options_.public_origin) && !cors_origin(origin)) {
        reply(res, failure(403, "cross-site requests may not write"));
        return false;
    }
    const std::string authorization = req.get_header_value("Authorization");
    const std::string expected = token();
    const bool bearer = lower(authorization.substr(0, 7)) == "bearer ";
    const bool token_ok = !expected.empty() && bearer && same_text(authorization.substr(7), expected);
    const auto address = address_of(req.remote_addr);
    const bool tokenless = authorization.empty() && address && any_contains(options_.write_without_token, *address);
    if (!token_ok && !tokenless) {
        log_.line(Topic::Refusal, "refused HTTP write from " + req.remote_addr + ": " +
                                      (authorization.empty() ? "no token" : "wrong token"));
        res.set_header("WWW-Authenticate", "Bearer");
        reply(res, failure(401, authorization.empty() ? "writing needs the token" : "wrong token"));
        return false;
    }
    return true;
}

// For a write: who, from where and with what, before its body is read.
// true when the request was answered here (refused, or a body-less clear).
bool HttpRoom::Server::write_routed(const httplib::Request &req, httplib::Response &res) {
    const bool writes = req.method == "PUT" || req.method == "POST" || req.method == "PATCH" || req.method == "DELETE";
    if (!writes || req.path.rfind("/api/", 0) != 0) {
        return false;
    }
    // A refusal leaves the body unread: the connection cannot go on.
    res.set_header("Connection", "close");
    if (!may_write(req, res)) {
        return true;
    }
    const bool has_body = req.has_header("Content-Length") ? req.get_header_value("Content-Length") != "0"
                                                           : req.has_header("Transfer-Encoding");
    if (!has_body) {
        // The one write that needs no body is answered now; the others are
        // told at once rather than waited on for a body that never comes.
        static const std::regex clear_watchdog_path(R"(/api/modules/(\d+)/watchdog/clear)");
        std::smatch id;
        if (req.method == "POST" && std::regex_match(req.path, id, clear_watchdog_path)) {
            module_call(id[1], res, true, clear_watchdog, "{}");
        } else {
            reply(res, failure(411, "a write has a JSON body with its Content-Length (or chunked)"));
        }
        return true;
    }
    const std::string type = req.get_header_value("Content-Type");
    if (lower(type.substr(0, type.find(';'))) != "application/json") {
        reply(res, failure(415, "a write is a JSON body (Content-Type: application/json)"));
        return true;
    }
    const std::string length = req.get_header_value("Content-Length");
    if (length.size() > 6 || length.find_first_not_of("0123456789") != std::string::npos ||
        (!length.empty() && std::stoul(length) > kMaxBody)) {
        reply(res, failure(413, "a body is at most 4 KiB"));
        return true;
    }
    res.headers.erase("Connection"); // taken in whole: the connection may go on
    return false;
}

// Reads a write's body, at most kMaxBody whatever its transfer encoding,
// then carries it out.
void HttpRoom::Server::body_call(const httplib::Request &req, httplib::Response &res,
                                 const httplib::ContentReader &content,
                                 const std::function<Answer(kdx::Module &, Worker &, const json &)> &work) {
    std::string body;
    bool too_big = false;
    content([&](const char *data, std::size_t length) {
        if (body.size() + length > kMaxBody) {
            too_big = true;
            return false; // stop reading: the rest is never taken in
        }
        body.append(data, length);
        return true;
    });
    if (too_big) {
        res.set_header("Connection", "close");
        reply(res, failure(413, "a body is at most 4 KiB"));
        return;
    }
    module_call(req.matches[1], res, true, work, body);
}

std::string HttpRoom::Server::token() const {
    std::lock_guard guard(token_mutex_);
    return token_;
}

void HttpRoom::Server::reload_token() {
    if (options_.token_file.empty()) return;
    std::string fresh = read_token(options_.token_file); // throws: the old one stays
    std::lock_guard guard(token_mutex_);
    token_ = std::move(fresh);
}

// A file of the page's folder: its real path must lie inside the folder
// (a symlink out of it is refused), and it goes out with a validator and
// the headers that keep a browser from guessing its type or running what
// another site put in it.
void HttpRoom::Server::serve_file(const httplib::Request &req, httplib::Response &res) const {
    namespace fs = std::filesystem;
    const std::string wanted = req.matches[1].str().empty() ? std::string("index.html") : req.matches[1].str();
    std::error_code missing;
    const fs::path path = fs::canonical(root_ / wanted, missing);
    const std::string inside = root_.string() + "/";
    if (missing || path.string().rfind(inside, 0) != 0 || !fs::is_regular_file(path) ||
        fs::file_size(path, missing) > (4u << 20)) {
        reply(res, failure(404, "no such page"));
        return;
    }
    const auto stamp = fs::last_write_time(path, missing).time_since_epoch().count();
    char etag[64];
    std::snprintf(etag, sizeof etag, "\"%llx-%llx\"", static_cast<unsigned long long>(fs::file_size(path, missing)),
                  static_cast<unsigned long long>(stamp));
    res.set_header("ETag", etag);
    res.set_header("Cache-Control", "no-cache"); // kept, but asked about each time: an upgrade shows at once
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Content-Security-Policy", "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    res.set_header("Referrer-Policy", "no-referrer");
    if (req.get_header_value("If-None-Match") == etag) {
        res.status = 304;
        return;
    }
    static const std::map<std::string, std::string> types = {
        {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},   {".json", "application/json"},
        {".svg", "image/svg+xml"},             {".png", "image/png"},
        {".ico", "image/x-icon"}};
    const auto type = types.find(path.extension().string());
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    res.set_content(content.str(), type == types.end() ? "application/octet-stream" : type->second);
}

Worker *HttpRoom::Server::unit(const std::string &id, httplib::Response &res) {
    Worker *worker = id.size() <= 3 ? units_.find(static_cast<uint8_t>(std::min(std::stoul(id), 255ul))) : nullptr;
    if (worker == nullptr) {
        reply(res, failure(404, "no module " + id));
    }
    return worker;
}

void HttpRoom::Server::module_call(const std::string &id, httplib::Response &res, bool writes,
                                   const std::function<Answer(kdx::Module &, Worker &, const json &)> &work,
                                   const std::string &text) {
    Worker *worker = unit(id, res);
    if (worker == nullptr) {
        return;
    }
    if (worker->stalled()) { // its module hangs: no use waiting behind it
        reply(res, failure(503, "the module does not answer", RESULT_BUSY));
        return;
    }
    json body;
    if (writes) {
        bool twice = false;
        body = parse_body(text, twice);
        if (body.is_discarded()) {
            reply(res, failure(400, "the body is not JSON"));
            return;
        }
        if (twice) {
            reply(res, failure(422, "the body names a key twice"));
            return;
        }
    }
    // The job may outlive this handler (a 504): it owns all it uses.
    reply(res, Call::on(
                   *worker,
                   [writes, work, body = std::move(body)](kdx::Module &m, Worker &w) {
                       const kdx::ModuleLock held = writes ? m.lock() : kdx::ModuleLock();
                       return work(m, w, body);
                   },
                   options_.request_timeout, writes));
}

// An event stream, of one unit or of all (unit 0). A new reader gets a
// hello with the state (one unit's snapshot, or the list of modules) and
// every event after it; a reader that comes back with Last-Event-ID gets
// what it missed from the ring, or a gap event first when the ring no
// longer holds all of it (or the daemon restarted), and then the state.
void HttpRoom::Server::events(const httplib::Request &req, httplib::Response &res, bool all_units) {
    Worker *worker = all_units ? nullptr : unit(req.matches[1], res);
    if (!all_units && worker == nullptr) {
        return;
    }
    const uint8_t unit_id = all_units ? EventHub::kAllUnits : worker->unit();
    EventHub &hub = units_.events();
    const auto resumed = position_of(req.get_header_value("Last-Event-ID"));
    const bool same_run = resumed && resumed->boot == hub.boot();
    json hello{{"boot", hub.boot()}};
    uint64_t after = 0;
    if (same_run) {
        after = resumed->number;
    } else if (all_units) {
        after = hub.last(EventHub::kAllUnits);
    } else {
        // The snapshot and its position are taken together on the worker,
        // the only thread that publishes this unit's events.
        auto seq = std::make_shared<uint64_t>(hub.last(unit_id));
        const Answer state = Call::on(
            *worker,
            [seq, &hub = hub, unit_id](kdx::Module &m, Worker &w) {
                *seq = hub.last(unit_id);
                return Answer{200, state_of(m, w)};
            },
            options_.request_timeout);
        after = *seq;
        hello["state"] = state.status == 200 ? state.body : json(nullptr);
    }
    auto stream = std::make_shared<Stream>(hub.boot(), all_units);
    {
        std::lock_guard guard(streams_mutex_);
        if (stopping_) {
            reply(res, failure(503, "stopping"));
            return;
        }
        streams_.insert(stream.get());
    }
    const EventHub::Replay missed = units_.subscribe(*stream, unit_id, after);
    std::string first;
    if (resumed && (!same_run || !missed.complete)) {
        json gap{{"boot", hub.boot()}, {"after", resumed->number}};
        if (!all_units) gap["unit"] = unit_id;
        gap["reason"] = same_run ? "the events after it are no longer kept" : "the daemon restarted";
        first += "event: gap\ndata: " + gap.dump() + "\n\n";
    }
    hello["seq"] = after;
    if (all_units) {
        json list = json::array();
        for (const Worker *w : units_.all()) list.push_back(summary(*w));
        hello["modules"] = list;
    } else {
        hello["unit"] = unit_id;
        hello["present"] = worker->present();
    }
    first += "id: " + stream->id(after) + "\nevent: hello\ndata: " + hello.dump() + "\n\n";
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [stream, first = std::move(first)](size_t, httplib::DataSink &sink) mutable {
            std::string out = std::move(first);
            first.clear();
            if (out.empty()) {
                if (!stream->next(out)) return false;
                if (out.empty()) out = ": keepalive\n\n";
            }
            return sink.write(out.data(), out.size());
        },
        [this, stream](bool) {
            units_.events().unsubscribe(*stream);
            std::lock_guard guard(streams_mutex_);
            streams_.erase(stream.get());
        });
}

HttpRoom::HttpRoom(HttpOptions options, Units &units, Log &log)
    : server_(std::make_unique<Server>(std::move(options), units, log)) {}

HttpRoom::~HttpRoom() { stop(); }

void HttpRoom::reload_token() { server_->reload_token(); }

void HttpRoom::start() {
    thread_ = std::thread([this] { server_->run(); });
}

void HttpRoom::stop() {
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

std::string read_token(const std::string &path) {
    std::ifstream file(path);
    std::string token;
    if (!file) {
        // Say why: a daemon started by hand is usually outside the group.
        const int why = errno;
        std::string hint;
        if (why == EACCES) {
            hint = " (it belongs to the group kdx7400: run as root, as the systemd unit does, or as a member "
                   "of the group)";
        }
        throw std::invalid_argument("cannot read the token from '" + path + "': " + std::strerror(why) + hint);
    }
    if (!std::getline(file, token)) {
        throw std::invalid_argument("cannot read the token from '" + path + "': the file is empty");
    }
    const auto first = token.find_first_not_of(" \t\r");
    const auto last = token.find_last_not_of(" \t\r");
    token = first == std::string::npos ? "" : token.substr(first, last - first + 1);
    if (token.size() < 16) {
        throw std::invalid_argument("the token in '" + path + "' is shorter than 16 characters");
    }
    return token;
}

} // namespace kdxd
