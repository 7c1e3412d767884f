// SPDX-License-Identifier: MIT
#include "front/http/http_room.h"

#include "front/api.h"
#include "transport/folder_watch.h"
#include "transport/http_server.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <cerrno>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <fstream>
#include <sys/stat.h>
#include <functional>
#include <mutex>
#include <array>
#include <regex>
#include <string_view>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <variant>

namespace kdxd {

namespace {

using api::Answer;
using api::failure;
using api::lower;
using json = nlohmann::json;

// Events that may wait for a slow event-stream reader (a whole replay, and
// more); more close it.
constexpr std::size_t kStreamQueueLimit = EventHub::kRing + 1024;

http::Response response_of(const Answer &answer) {
    http::Response response;
    response.status = answer.status;
    response.type = "application/json";
    response.set("Cache-Control", "no-store");
    response.body = api::text(answer.body);
    return response;
}

// What an event costs while it waits for its reader.
constexpr std::size_t kQueuedEventBytes = sizeof(ModuleEvent) + 16;
// Text handed to a stream's connection at once: what a reader that stops
// reading leaves in memory beside its queue.
constexpr std::size_t kStreamTextPerWrite = 8 * 1024;

class Stream;

// Every stream's queued events share one budget: when it is spent, the
// reader furthest behind is closed first, so that never-reading streams
// cannot together take the daemon's memory.
class StreamBudget {
public:
    explicit StreamBudget(std::size_t bytes) : limit_(bytes) {}
    void join(Stream &stream) {
        std::lock_guard guard(mutex_);
        streams_.push_back(&stream);
    }
    void leave(Stream &stream) {
        std::lock_guard guard(mutex_);
        std::erase(streams_, &stream);
    }
    // Makes room for `bytes` more (closing readers furthest behind, perhaps
    // the asker); false when the asker itself was closed.
    bool make_room(Stream &asker, std::size_t bytes);
    std::atomic<std::size_t> used{0};

private:
    const std::size_t limit_;
    std::mutex mutex_;
    std::vector<Stream *> streams_;
};

// One event-stream reader: events wait in its own bounded queue (room for
// a whole ring's replay), within every stream's shared budget; a reader
// that falls further behind is closed, and resumes from the ring when it
// reconnects. Nobody else waits for it.
class Stream final : public EventSink, public http::Feed {
public:
    Stream(EventHub &hub, StreamBudget &budget, std::string boot, bool all_units)
        : hub_(hub), budget_(budget), boot_(std::move(boot)), all_units_(all_units) {
        budget_.join(*this);
    }
    ~Stream() override {
        hub_.unsubscribe(*this);
        budget_.leave(*this);
        budget_.used -= queued_bytes_;
    }

    // On a worker's thread.
    void deliver(const ModuleEvent &event) override {
        if (!budget_.make_room(*this, kQueuedEventBytes)) {
            wake_reader();
            return;
        }
        {
            std::lock_guard guard(mutex_);
            if (overflowed_) {
                // closed since: nothing more waits for it
            } else if (queue_.size() >= kStreamQueueLimit) {
                close_locked();
            } else {
                queue_.push_back(event);
                queued_bytes_ += kQueuedEventBytes;
                budget_.used += kQueuedEventBytes;
            }
        }
        wake_reader();
    }

    // How far behind the reader is, in queued bytes; any thread.
    std::size_t behind() const { return queued_bytes_.load(std::memory_order_relaxed); }
    // Closes the stream and frees its queue (the budget ran out).
    void close_for_budget() {
        {
            std::lock_guard guard(mutex_);
            close_locked();
        }
        wake_reader();
    }

    void attach(std::function<void()> wake) override {
        {
            std::lock_guard guard(mutex_);
            wake_ = wake;
        }
        wake(); // the hello, and what the replay queued, go out now
    }
    bool take(std::string &out) override {
        out += std::exchange(first_, std::string());
        bool more = false;
        for (;;) {
            ModuleEvent event;
            {
                std::lock_guard guard(mutex_);
                if (overflowed_) return false;
                if (queue_.empty()) break;
                if (out.size() >= kStreamTextPerWrite) {
                    more = true;
                    break;
                }
                event = queue_.front();
                queue_.pop_front();
                queued_bytes_ -= kQueuedEventBytes;
                budget_.used -= kQueuedEventBytes;
            }
            out += format(event);
        }
        if (more) wake_reader(); // the rest after this piece is written
        return true;
    }
    void detach() override {
        hub_.unsubscribe(*this);
        std::lock_guard guard(mutex_);
        wake_ = nullptr;
    }

    // What the reader gets before any event: a gap, if any, and the hello.
    void open_with(std::string text) { first_ = std::move(text); }

    // The SSE id is the reader's position: this run, and the unit's number
    // (or the number across units on the stream of all units).
    std::string id(uint64_t number) const { return boot_ + ":" + std::to_string(number); }

    std::string format(const ModuleEvent &event) const {
        json data = api::event_json(event, boot_);
        if (all_units_) data["global"] = event.global;
        return "id: " + id(all_units_ ? event.global : event.seq) + "\nevent: " + api::event_name(event) +
               "\ndata: " + api::text(data) + "\n\n";
    }

private:
    void close_locked() {
        overflowed_ = true;
        budget_.used -= queued_bytes_;
        queued_bytes_ = 0;
        std::deque<ModuleEvent>().swap(queue_);
    }
    void wake_reader() {
        std::function<void()> wake;
        {
            std::lock_guard guard(mutex_);
            wake = wake_;
        }
        if (wake) wake();
    }

    EventHub &hub_;
    StreamBudget &budget_;
    const std::string boot_;
    const bool all_units_;
    std::string first_; // the loop's only
    std::mutex mutex_;
    std::function<void()> wake_;
    std::deque<ModuleEvent> queue_;
    std::atomic<std::size_t> queued_bytes_{0}; // changed under mutex_
    bool overflowed_ = false;
};

bool StreamBudget::make_room(Stream &asker, std::size_t bytes) {
    if (used.load(std::memory_order_relaxed) + bytes <= limit_) return true;
    std::lock_guard guard(mutex_);
    bool asker_closed = false;
    while (used.load(std::memory_order_relaxed) + bytes > limit_) {
        Stream *furthest = nullptr;
        for (Stream *stream : streams_) {
            if (stream->behind() > 0 && (furthest == nullptr || stream->behind() > furthest->behind())) {
                furthest = stream;
            }
        }
        if (furthest == nullptr) break; // what is left is in flight, not queued
        furthest->close_for_budget();
        asker_closed = asker_closed || furthest == &asker;
    }
    return !asker_closed;
}

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

// A reader's stream from position after on: what it missed since then,
// the hello, then every event. A reader that resumed from a position no
// longer kept (or of another run) starts afresh at after, the hello's
// state, with a gap event first.
void open_stream(Units &units, StreamBudget &budget, const std::optional<Position> &resumed, uint8_t unit_id,
                 uint64_t after, json hello, const std::shared_ptr<http::Reply> &reply) {
    EventHub &hub = units.events();
    const bool all_units = unit_id == EventHub::kAllUnits;
    const bool same_run = resumed && resumed->boot == hub.boot();
    auto stream = std::make_shared<Stream>(hub, budget, hub.boot(), all_units);
    const EventHub::Replay missed = units.subscribe(*stream, unit_id, after);
    std::string first;
    if (resumed && (!same_run || resumed->number != after || !missed.complete)) {
        json gap{{"boot", hub.boot()}, {"after", resumed->number}};
        if (!all_units) gap["unit"] = unit_id;
        gap["reason"] = same_run ? "the events after it are no longer kept" : "the daemon restarted";
        first += "event: gap\ndata: " + api::text(gap) + "\n\n";
    }
    hello["seq"] = after;
    first += "id: " + stream->id(after) + "\nevent: hello\ndata: " + api::text(hello) + "\n\n";
    stream->open_with(std::move(first));
    http::Response head;
    head.type = "text/event-stream";
    head.set("Cache-Control", "no-store");
    head.set("X-Accel-Buffering", "no");
    reply->stream(std::move(head), std::move(stream));
}

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

// An API path, taken apart once per request: a table of regular
// expressions cost every request, a page file's too, some microseconds.
struct Route {
    enum class Kind { other, modules, events, log, openapi, metrics, module, module_action } kind = Kind::other;
    std::string unit;   // the digits after /api/modules/
    std::string action; // after those: "outputs", "counters/clear"...
};

constexpr std::string_view kReadOnly = "GET, HEAD, OPTIONS";
// Each action after /api/modules/N/, with the methods it takes.
constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kModuleActions{{
    {"outputs", "PUT, OPTIONS"},
    {"outputs/toggle", "POST, OPTIONS"},
    {"counters/clear", "POST, OPTIONS"},
    {"watchdog/clear", "POST, OPTIONS"},
    {"settings", "PATCH, OPTIONS"},
    {"events", kReadOnly},
    {"history", kReadOnly},
    {"labels", "GET, HEAD, PUT, OPTIONS"},
}};

Route route_of(const std::string &path) {
    using Kind = Route::Kind;
    if (path == "/api/modules") return {Kind::modules, {}, {}};
    if (path == "/api/events") return {Kind::events, {}, {}};
    if (path == "/api/log") return {Kind::log, {}, {}};
    if (path == "/api/openapi.json") return {Kind::openapi, {}, {}};
    if (path == "/metrics") return {Kind::metrics, {}, {}};
    constexpr std::string_view prefix = "/api/modules/";
    if (path.compare(0, prefix.size(), prefix) != 0) return {};
    const std::size_t digits_end = path.find_first_not_of("0123456789", prefix.size());
    if (digits_end == prefix.size() || path.size() == prefix.size()) return {};
    std::string unit = path.substr(prefix.size(), digits_end - prefix.size());
    if (digits_end == std::string::npos) return {Kind::module, std::move(unit), {}};
    if (path[digits_end] != '/') return {};
    const std::string_view action = std::string_view(path).substr(digits_end + 1);
    for (const auto &[name, methods] : kModuleActions) {
        if (action == name) return {Kind::module_action, std::move(unit), std::string(action)};
    }
    return {};
}

// The methods a route takes, as its Allow header lists them.
std::string_view methods_of(const Route &route) {
    if (route.kind == Route::Kind::other) return {};
    if (route.kind != Route::Kind::module_action) return kReadOnly;
    for (const auto &[name, methods] : kModuleActions) {
        if (route.action == name) return methods;
    }
    return {};
}

bool lists(std::string_view allow, std::string_view method) {
    for (std::size_t at = 0; at < allow.size();) {
        const std::size_t end = std::min(allow.find(", ", at), allow.size());
        if (allow.substr(at, end - at) == method) return true;
        at = end + 2;
    }
    return false;
}

// One scrape of /metrics: each present unit's state is read on its worker,
// and when the last is in, the text goes out.
class Scrape {
public:
    Scrape(Units &units, std::shared_ptr<http::Reply> reply, std::string more)
        : units_(units), reply_(std::move(reply)), more_(std::move(more)) {}

    static void start(Units &units, const std::shared_ptr<http::Reply> &reply, std::string more) {
        auto scrape = std::make_shared<Scrape>(units, reply, std::move(more));
        const std::vector<Worker *> all = units.all();
        scrape->waiting_ = all.size() + 1;
        for (Worker *worker : all) {
            if (!worker->present()) {
                scrape->done(worker->unit(), nullptr);
                continue;
            }
            api::scrape_values_on(
                *worker, [scrape, unit = worker->unit()](Answer answer) {
                    scrape->done(unit, answer.status == 200 ? answer.body : json(nullptr));
                });
        }
        scrape->done(0, nullptr); // the scrape's own share: nothing may be left waiting for it
    }

private:
    void done(uint8_t unit, json state) {
        {
            std::lock_guard guard(mutex_);
            if (unit != 0) states_[unit] = std::move(state);
            if (--waiting_ != 0) return;
        }
        http::Response res;
        res.type = "text/plain; version=0.0.4; charset=utf-8";
        res.set("Cache-Control", "no-store");
        res.body = text();
        reply_->send(std::move(res));
    }

    std::string text() const {
        std::string plugged, responding, ages, inputs, outputs, pulses, created, buckets, failures;
        const auto now = std::chrono::steady_clock::now();
        // "unit=\"N\"" then, for a channel's series, ",channel=\"C\"".
        char labels[64];
        const auto channel = [&labels](int unit_length, std::size_t ch) {
            const int n = std::snprintf(labels + unit_length, sizeof labels - static_cast<std::size_t>(unit_length),
                                        ",channel=\"%zu\"", ch);
            return std::string_view(labels, static_cast<std::size_t>(unit_length + n));
        };
        for (const auto &[unit, state] : states_) {
            const Worker *worker = units_.find(unit);
            if (worker == nullptr) continue;
            const int unit_length = std::snprintf(labels, sizeof labels, "unit=\"%u\"", unsigned{unit});
            const std::string_view u(labels, static_cast<std::size_t>(unit_length));
            // A module that hangs is plugged in, and not responding.
            append_metric(plugged, "kdx7400_plugged", u, worker->present() || worker->hangs() ? 1 : 0);
            append_metric(responding, "kdx7400_responding", u, worker->responding() ? 1 : 0);
            if (const auto at = worker->read_at(Worker::Value::inputs)) {
                append_metric(ages, "kdx7400_sample_age_seconds", u, std::chrono::duration<double>(now - *at).count());
            }
            if (!state.is_null() && state["inputs"].is_number_unsigned() && state["outputs"].is_number_unsigned()) {
                const auto in = state["inputs"].get<uint64_t>();
                const auto out = state["outputs"].get<uint64_t>();
                for (unsigned ch = 0; ch < state["di"].get<unsigned>(); ++ch) {
                    append_metric(inputs, "kdx7400_input", channel(unit_length, ch), static_cast<double>((in >> ch) & 1));
                }
                for (unsigned ch = 0; ch < state["do"].get<unsigned>(); ++ch) {
                    append_metric(outputs, "kdx7400_output", channel(unit_length, ch),
                                  static_cast<double>((out >> ch) & 1));
                }
            }
            const UnitMetrics::Figures f = worker->metrics().figures();
            for (std::size_t ch = 0; ch < f.pulses.size(); ++ch) {
                append_metric(pulses, "kdx7400_input_pulses_total", channel(unit_length, ch),
                              static_cast<double>(f.pulses[ch]));
                append_metric(created, "kdx7400_input_pulses_created", channel(unit_length, ch), f.created[ch]);
            }
            const std::string unit_labels(u);
            for (std::size_t i = 0; i < UnitMetrics::kBuckets.size(); ++i) {
                char le[32];
                std::snprintf(le, sizeof le, "%g", UnitMetrics::kBuckets[i]);
                append_metric(buckets, "kdx7400_request_duration_seconds_bucket", unit_labels + ",le=\"" + le + "\"",
                              static_cast<double>(f.buckets[i]));
            }
            append_metric(buckets, "kdx7400_request_duration_seconds_bucket", unit_labels + ",le=\"+Inf\"",
                          static_cast<double>(f.requests));
            append_metric(buckets, "kdx7400_request_duration_seconds_sum", u, f.seconds);
            append_metric(buckets, "kdx7400_request_duration_seconds_count", u, static_cast<double>(f.requests));
            append_metric(failures, "kdx7400_transfer_failures_total", u, static_cast<double>(f.transfer_failures));
        }
        const auto family = [](const char *name, const char *type, const char *help, const std::string &lines) {
            return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + lines;
        };
        return family("kdx7400_plugged", "gauge", "Whether the unit's module is present (1) or absent (0).", plugged) +
               family("kdx7400_responding", "gauge",
                      "Whether the unit's module answered its last command (1) or hangs or is absent (0).",
                      responding) +
               family("kdx7400_sample_age_seconds", "gauge",
                      "How long ago the unit's inputs were last read: the age of the input and output values "
                      "here.",
                      ages) +
               family("kdx7400_input", "gauge", "An input's level after inversion.", inputs) +
               family("kdx7400_output", "gauge", "An output's value.", outputs) +
               family("kdx7400_input_pulses_total", "counter",
                      "Pulses an input counted, across counter wraps, clears and re-plugs, since the daemon first "
                      "read the counter.",
                      pulses) +
               family("kdx7400_input_pulses_created", "gauge",
                      "When the pulse total began, in seconds since the epoch.", created) +
               family("kdx7400_request_duration_seconds", "histogram",
                      "How long a request took at its module (all its commands).", buckets) +
               family("kdx7400_transfer_failures_total", "counter",
                      "Transfers with the module that failed (the module is then opened again).", failures) +
               more_;
    }

    Units &units_;
    std::shared_ptr<http::Reply> reply_;
    const std::string more_;
    std::mutex mutex_;
    std::size_t waiting_ = 0;
    std::map<uint8_t, json> states_;
};

} // namespace

// What a request means: who may ask and write, the routes, the page.
class HttpRoom::Api final : public http::Handler {
public:
    Api(HttpOptions options, Units &units, Log &log);

    std::optional<http::Response> head(const http::Request &req) override;
    void request(const http::Request &req, std::shared_ptr<http::Reply> reply) override;
    http::Response refusal(int status, const std::string &text) override { return response_of(failure(status, text)); }
    void decorate(const http::Request &req, http::Response &res) override;

    void reload_token();
    void reload_access(std::vector<Cidr> allow, std::vector<Cidr> write_without_token) {
        allow_.replace(std::move(allow));
        write_without_token_.replace(std::move(write_without_token));
    }
    const HttpOptions &options() const { return options_; }
    std::function<http::Counts()> server_counts_;

private:
    std::optional<http::Response> admitted(const http::Request &req) const;
    bool right_host(const http::Request &req) const;
    bool cors_origin(const std::string &origin) const;
    std::optional<http::Response> method_routed(const http::Request &req) const;
    std::optional<http::Response> may_write(const http::Request &req) const;
    std::optional<http::Response> write_routed(const http::Request &req) const;
    std::string token() const;
    void module_call(const std::string &id, const std::shared_ptr<http::Reply> &reply, bool writes,
                     api::Operation operation, const std::string &text = std::string(),
                     std::shared_ptr<const Client> client = nullptr);
    static std::shared_ptr<const Client> writer(const http::Request &req);
    void events(const http::Request &req, const std::shared_ptr<http::Reply> &reply, Worker *worker);
    http::Response labels(const http::Request &req, Worker &worker);
    http::Response history(const http::Request &req, const Worker &worker) const;
    http::Response log(const http::Request &req) const;
    http::Response serve_file(const http::Request &req) const;
    struct PageFile {
        std::string path, type, etag, body;
        off_t size = 0;
        timespec changed{};
    };
    struct KeptFile {
        std::shared_ptr<const PageFile> file;
        // The watch's generation when it was read; none when the watch
        // does not cover it, and a stat is asked each time.
        std::optional<uint64_t> checked;
    };
    std::shared_ptr<const PageFile> page_file(const std::string &wanted) const;
    static constexpr std::size_t kPageCacheBytes = 1u << 20;

    const HttpOptions options_;
    LiveCidrs allow_, write_without_token_;
    mutable std::mutex token_mutex_;
    std::string token_;
    Units &units_;
    Log &log_;
    std::string openapi_;
    std::string openapi_etag_;
    std::filesystem::path root_;
    // The page's files as last read, by the name asked for; the loop's only.
    mutable std::map<std::string, KeptFile> page_files_;
    mutable std::size_t page_bytes_ = 0;
    StreamBudget budget_;
    // A kept file of the page's own folder is served without a stat while
    // nothing in the folder has changed.
    mutable std::unique_ptr<FolderWatch> page_watch_;
};

HttpRoom::Api::Api(HttpOptions options, Units &units, Log &log)
    : options_(std::move(options)), allow_(options_.allow), write_without_token_(options_.write_without_token),
      units_(units), log_(log), budget_(options_.stream_memory) {
    if (!options_.token_file.empty()) token_ = read_token(options_.token_file);
    std::ifstream openapi(options_.root + "/openapi.json");
    std::stringstream text;
    text << openapi.rdbuf();
    openapi_ = text.str();
    if (openapi_.empty()) {
        throw std::invalid_argument("no page in '" + options_.root + "' (--http-root): openapi.json is missing");
    }
    uint64_t hash = 14695981039346656037ull; // FNV-1a: a validator, not a secret
    for (const unsigned char c : openapi_) hash = (hash ^ c) * 1099511628211ull;
    char etag[24];
    std::snprintf(etag, sizeof etag, "\"%016llx\"", static_cast<unsigned long long>(hash));
    openapi_etag_ = etag;
    // The page: only files that are in its folder, also through symlinks.
    std::error_code bad;
    root_ = std::filesystem::canonical(options_.root, bad);
    if (bad || !std::filesystem::is_directory(root_)) {
        throw std::invalid_argument("cannot serve the page from '" + options_.root + "'");
    }
    page_watch_ = std::make_unique<FolderWatch>(root_.string());
}

// Who may ask, and for writes with what, is settled on the head alone: an
// unauthorised body is never taken in.
std::optional<http::Response> HttpRoom::Api::head(const http::Request &req) {
    if (auto refusal = admitted(req)) return refusal;
    if (auto answer = method_routed(req)) return answer;
    return write_routed(req);
}

void HttpRoom::Api::decorate(const http::Request &req, http::Response &res) {
    // A browser origin the operator named may read the answers.
    const std::string origin = req.header("Origin");
    if (!origin.empty() && cors_origin(origin)) {
        res.set("Access-Control-Allow-Origin", origin);
        res.set("Vary", "Origin");
    }
}

void HttpRoom::Api::request(const http::Request &req, std::shared_ptr<http::Reply> reply) {
    using Kind = Route::Kind;
    const std::string &path = req.path;
    const Route route = route_of(path);
    if (route.kind == Kind::metrics) {
        const http::Counts counts = server_counts_ ? server_counts_() : http::Counts{};
        std::string more = "# HELP kdx7400_clients Clients connected now, by front end.\n# TYPE kdx7400_clients gauge\n";
        more += metric_line("kdx7400_clients", "front_end=\"http\"", static_cast<double>(counts.connections));
        if (options_.more_metrics) more += options_.more_metrics();
        more += "# HELP kdx7400_http_event_streams Event streams open now.\n# TYPE kdx7400_http_event_streams gauge\n";
        more += metric_line("kdx7400_http_event_streams", "", static_cast<double>(counts.streams));
        Scrape::start(units_, reply, std::move(more));
    } else if (route.kind == Kind::openapi) {
        http::Response res;
        res.set("ETag", openapi_etag_);
        res.set("Cache-Control", "no-cache"); // kept, revalidated: the page reads it at every load
        if (req.none_match(openapi_etag_)) {
            res.status = 304;
        } else {
            res.type = "application/json";
            res.body = openapi_;
        }
        reply->send(std::move(res));
    } else if (route.kind == Kind::modules) {
        json list = json::array();
        for (const Worker *worker : units_.all()) list.push_back(api::summary(*worker));
        reply->send(response_of({200, {{"modules", list}}}));
    } else if (route.kind == Kind::events) {
        events(req, reply, nullptr);
    } else if (route.kind == Kind::log) {
        reply->send(log(req));
    } else if (route.kind == Kind::module) {
        // ?monitor: a monitor's read (the page), under the watchdog rule.
        const bool monitor = req.query == "monitor" || req.query.rfind("monitor&", 0) == 0 ||
                             req.query.find("&monitor") != std::string::npos;
        module_call(route.unit, reply, false, monitor ? api::read_monitor_state : api::read_state);
    } else if (route.kind == Kind::module_action) {
        const std::string &action = route.action;
        if (action == "labels" || action == "history") {
            Worker *worker = api::find(units_, route.unit);
            reply->send(worker == nullptr ? response_of(failure(404, "no module " + route.unit))
                        : action == "labels"  ? labels(req, *worker)
                                              : history(req, *worker));
            return;
        }
        if (action == "events") {
            Worker *worker = api::find(units_, route.unit);
            if (worker == nullptr) {
                reply->send(response_of(failure(404, "no module " + route.unit)));
                return;
            }
            events(req, reply, worker);
            return;
        }
        // A clear of the watchdog needs no body; the other writes were
        // refused at the head without one.
        const std::string body = req.body.empty() ? std::string("{}") : req.body;
        const api::Operation operation = action == "outputs"          ? api::write_outputs
                                         : action == "outputs/toggle" ? api::toggle_outputs
                                         : action == "counters/clear" ? api::clear_counters
                                         : action == "watchdog/clear" ? api::clear_watchdog
                                                                      : api::apply_settings;
        module_call(route.unit, reply, true, operation, body, writer(req));
    } else if (path.rfind("/api/", 0) == 0 || path == "/api") {
        reply->send(response_of(failure(404, "no such API path")));
    } else {
        reply->send(serve_file(req));
    }
}

std::optional<http::Response> HttpRoom::Api::admitted(const http::Request &req) const {
    if (!allow_.admits(req.peer)) {
        log_.line(Topic::Refusal, "refused HTTP " + req.peer_text + ": not in --allow");
        return response_of(failure(403, "this address may not connect"));
    }
    if (!right_host(req)) {
        // A name we were not given is a page on another site reaching us
        // through DNS rebinding: nothing is served to it, not even a read.
        log_.line(Topic::Refusal, "refused HTTP " + req.peer_text + ": Host '" + req.header("Host") + "'");
        return response_of(failure(421, "this server does not answer to that name (kdx7400d --http-host NAME)"));
    }
    log_.detail("HTTP " + req.method + " " + req.path + " from " + req.peer_text);
    return std::nullopt;
}

// Host may be an IP address (no DNS answer can make a page's own name into
// it), localhost, a name given with --http-host, or the public origin's.
bool HttpRoom::Api::right_host(const http::Request &req) const {
    std::string host = lower(req.header("Host"));
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

bool HttpRoom::Api::cors_origin(const std::string &origin) const {
    return std::find(options_.cors.begin(), options_.cors.end(), lower(origin)) != options_.cors.end();
}

// The API's paths and the methods each takes: another method is 405 with
// Allow, and a CORS preflight (OPTIONS) is answered from the same table.
std::optional<http::Response> HttpRoom::Api::method_routed(const http::Request &req) const {
    const bool api = req.path.rfind("/api/", 0) == 0;
    const std::string allow(methods_of(route_of(req.path)));
    if (!allow.empty()) {
        if (req.method == "OPTIONS") {
            const std::string origin = req.header("Origin");
            http::Response res;
            res.status = 204;
            res.set("Allow", allow);
            if (!origin.empty() && cors_origin(origin)) {
                res.set("Access-Control-Allow-Methods", allow);
                res.set("Access-Control-Allow-Headers", "Authorization, Content-Type, Last-Event-ID");
                res.set("Access-Control-Max-Age", "600");
            }
            return res;
        }
        if (lists(allow, req.method)) return std::nullopt;
        http::Response res = response_of(failure(405, req.method + " is not a method of " + req.path + " (" + allow + ")"));
        res.set("Allow", allow);
        return res;
    }
    // The page's files are only read.
    if (!api && req.method != "GET" && req.method != "HEAD") {
        http::Response res = response_of(failure(405, req.method + " is not a method of the page (GET, HEAD)"));
        res.set("Allow", "GET, HEAD");
        return res;
    }
    return std::nullopt;
}

// Writing needs the bearer token whenever a token file is configured,
// from loopback too; without one, only an address the operator named in
// --http-allow-write-without-token may write. Either way the request must
// be JSON and not come from another site's page.
std::optional<http::Response> HttpRoom::Api::may_write(const http::Request &req) const {
    const std::string origin = lower(req.header("Origin"));
    const std::string host = lower(req.header("Host"));
    if (!origin.empty() && origin != "http://" + host && origin != "https://" + host &&
        origin != lower(options_.public_origin) && !cors_origin(origin)) {
        return response_of(failure(403, "cross-site requests may not write"));
    }
    const std::string authorization = req.header("Authorization");
    const std::string expected = token();
    const bool bearer = lower(authorization.substr(0, 7)) == "bearer ";
    const bool token_ok = !expected.empty() && bearer && same_text(authorization.substr(7), expected);
    const bool tokenless = authorization.empty() && write_without_token_.contains(req.peer);
    if (!token_ok && !tokenless) {
        log_.line(Topic::Refusal, "refused HTTP write from " + req.peer_text + ": " +
                                      (authorization.empty() ? "no token" : "wrong token"));
        http::Response res = response_of(failure(401, authorization.empty() ? "writing needs the token" : "wrong token"));
        res.set("WWW-Authenticate", "Bearer");
        return res;
    }
    return std::nullopt;
}

// For a write: who, from where and with what, before its body is read.
std::optional<http::Response> HttpRoom::Api::write_routed(const http::Request &req) const {
    const bool writes = req.method == "PUT" || req.method == "POST" || req.method == "PATCH" || req.method == "DELETE";
    if (!writes || req.path.rfind("/api/", 0) != 0) return std::nullopt;
    if (auto refusal = may_write(req)) return refusal;
    if (!req.has_body) {
        // The one write that needs no body goes on; the others are told at
        // once rather than waited on for a body that never comes.
        const Route route = route_of(req.path);
        if (req.method == "POST" && route.kind == Route::Kind::module_action && route.action == "watchdog/clear") {
            return std::nullopt;
        }
        return response_of(failure(411, "a write has a JSON body with its Content-Length (or chunked)"));
    }
    const std::string type = req.header("Content-Type");
    if (lower(type.substr(0, type.find(';'))) != "application/json") {
        return response_of(failure(415, "a write is a JSON body (Content-Type: application/json)"));
    }
    return std::nullopt; // its size is the server's to bound
}

std::string HttpRoom::Api::token() const {
    std::lock_guard guard(token_mutex_);
    return token_;
}

void HttpRoom::Api::reload_token() {
    if (options_.token_file.empty()) return;
    std::string fresh = read_token(options_.token_file); // throws: the old one stays
    std::lock_guard guard(token_mutex_);
    token_ = std::move(fresh);
}

// The page's file a request names, when it is one: its real path inside
// the page's folder (also through symlinks), a regular file of at most 4
// MiB. Kept after the first read, and served again while the folder's
// watch saw no change, or else one stat says it has not changed: an
// upgrade still shows at once.
std::shared_ptr<const HttpRoom::Api::PageFile> HttpRoom::Api::page_file(const std::string &wanted) const {
    namespace fs = std::filesystem;
    const auto same = [](const struct stat &now, const PageFile &file) {
        return S_ISREG(now.st_mode) && now.st_size == file.size && now.st_mtim.tv_sec == file.changed.tv_sec &&
               now.st_mtim.tv_nsec == file.changed.tv_nsec;
    };
    struct stat now {};
    const std::optional<uint64_t> generation = page_watch_ ? page_watch_->generation() : std::nullopt;
    if (const auto kept = page_files_.find(wanted); kept != page_files_.end()) {
        KeptFile &file = kept->second;
        if (file.checked) {
            // Covered by the watch: after a change, looked up afresh, as a
            // symlink of the folder may now lead elsewhere.
            if (file.checked == generation) return file.file;
        } else if (::stat(file.file->path.c_str(), &now) == 0 && same(now, *file.file)) {
            return file.file;
        }
        page_bytes_ -= file.file->body.size();
        page_files_.erase(kept);
    }
    std::error_code missing;
    const fs::path path = fs::canonical(root_ / wanted, missing);
    const std::string inside = root_.string() + "/";
    if (wanted.empty() || wanted.front() == '/' || missing || path.string().rfind(inside, 0) != 0 ||
        ::stat(path.c_str(), &now) != 0 || !S_ISREG(now.st_mode) || now.st_size > (4 << 20)) {
        return nullptr;
    }
    static const std::map<std::string, std::string> types = {
        {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},   {".json", "application/json"},
        {".svg", "image/svg+xml"},             {".png", "image/png"},
        {".ico", "image/x-icon"}};
    const auto type = types.find(path.extension().string());
    auto made = std::make_shared<PageFile>();
    PageFile &file = *made;
    file.path = path.string();
    file.type = type == types.end() ? "application/octet-stream" : type->second;
    file.size = now.st_size;
    file.changed = now.st_mtim;
    char etag[64];
    std::snprintf(etag, sizeof etag, "\"%llx-%llx.%lx\"", static_cast<unsigned long long>(now.st_size),
                  static_cast<unsigned long long>(now.st_mtim.tv_sec), static_cast<unsigned long>(now.st_mtim.tv_nsec));
    file.etag = etag;
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    file.body = content.str();
    // Only names that are files of the page are kept, and so many bytes.
    if (page_bytes_ + file.body.size() <= kPageCacheBytes) {
        page_bytes_ += file.body.size();
        // The watch covers the folder's own entries: a name in it that is
        // a file of it.
        const bool watched = wanted.find('/') == std::string::npos && path.parent_path() == root_;
        page_files_[wanted] = KeptFile{made, watched ? generation : std::nullopt};
    }
    return made;
}

// A file of the page's folder: its real path must lie inside the folder
// (a symlink out of it is refused), and it goes out with a validator and
// the headers that keep a browser from guessing its type or running what
// another site put in it.
http::Response HttpRoom::Api::serve_file(const http::Request &req) const {
    const std::string wanted = req.path == "/" ? std::string("index.html") : req.path.substr(1);
    const std::shared_ptr<const PageFile> file = page_file(wanted);
    if (!file) return response_of(failure(404, "no such page"));
    http::Response res;
    res.set("ETag", file->etag);
    res.set("Cache-Control", "no-cache"); // kept, but asked about each time: an upgrade shows at once
    res.set("X-Content-Type-Options", "nosniff");
    res.set("Content-Security-Policy", "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    res.set("Referrer-Policy", "no-referrer");
    if (req.none_match(file->etag)) {
        res.status = 304;
        return res;
    }
    res.type = file->type;
    res.body = file->body;
    return res;
}

void HttpRoom::Api::module_call(const std::string &id, const std::shared_ptr<http::Reply> &reply, bool writes,
                                api::Operation operation, const std::string &text,
                                std::shared_ptr<const Client> client) {
    auto claim = std::make_shared<Claim>();
    reply->on_give_up([claim] { return claim->withdraw(); });
    api::call(
        units_, id, writes, operation, text, [reply](Answer answer) { reply->send(response_of(answer)); },
        std::move(client), claim);
}

// A writer may_write() let through: with the token, or from an address
// allowed to write without one.
std::shared_ptr<const Client> HttpRoom::Api::writer(const http::Request &req) {
    return std::make_shared<const Client>(Client{
        Origin::http, req.peer_text, req.header("Authorization").empty() ? "no token: an address allowed" : "token"});
}

// The unit's channel names: read by anyone who may read, replaced by a
// write (the token), kept in the state folder.
http::Response HttpRoom::Api::labels(const http::Request &req, Worker &worker) {
    if (req.method != "PUT") return response_of({200, api::labels_json(worker.labels())});
    bool twice = false;
    const json body = api::parse_body(req.body, twice);
    if (body.is_discarded()) return response_of(failure(400, "the body is not JSON"));
    if (twice) return response_of(failure(422, "the body names a key twice"));
    auto labels = api::labels_of(body, worker);
    if (const Answer *bad = std::get_if<Answer>(&labels)) return response_of(*bad);
    try {
        if (const LabelStore *store = units_.label_store()) store->save(worker.unit(), std::get<Labels>(labels));
    } catch (const std::runtime_error &error) {
        return response_of(failure(503, error.what()));
    }
    const std::string before = api::text(api::labels_json(worker.labels()));
    worker.set_labels(std::get<Labels>(labels));
    const json after = api::labels_json(worker.labels());
    worker.audit("names", before, api::text(after), writer(req).get());
    return response_of({200, after});
}

// The events the daemon still keeps, for a log that outlives a page's
// reload: the latest ?per_kind=N (1 to 200, default 50) of each kind
// (edges, pulses, writes and clears, the module's own), oldest first, each
// as an all-units stream sends it.
http::Response HttpRoom::Api::log(const http::Request &req) const {
    static const std::regex per_kind_query(R"((?:^|&)per_kind=(\d{1,3})(?:&|$))");
    std::smatch found;
    std::size_t per_kind = 50;
    if (std::regex_search(req.query, found, per_kind_query)) per_kind = std::stoul(found[1]);
    if (per_kind < 1 || per_kind > 200) return response_of(failure(400, "per_kind is 1 to 200"));
    EventHub &hub = units_.events();
    json events = json::array();
    for (const ModuleEvent &event : hub.recent(per_kind)) {
        json data = api::event_json(event, hub.boot());
        data["event"] = api::event_name(event);
        data["global"] = event.global;
        events.push_back(std::move(data));
    }
    return response_of({200, {{"boot", hub.boot()}, {"events", std::move(events)}}});
}

// The counters' history the daemon keeps (the last hour, a sample every
// 2 s while the inputs are watched): ?seconds=N (default 300), and
// ?format=csv for a file.
http::Response HttpRoom::Api::history(const http::Request &req, const Worker &worker) const {
    static const std::regex seconds_query(R"((?:^|&)seconds=(\d{1,5})(?:&|$))");
    std::smatch seconds;
    const double window = std::regex_search(req.query, seconds, seconds_query) ? std::stod(seconds[1]) : 300;
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const auto samples = worker.metrics().history(now - window);
    if (req.query.find("format=csv") != std::string::npos) {
        http::Response res;
        res.type = "text/csv; charset=utf-8";
        res.set("Content-Disposition", "attachment; filename=\"unit-" + std::to_string(worker.unit()) +
                                           "-counters.csv\"");
        const std::size_t channels = samples.empty() ? 0 : samples.back().counters.size();
        res.body = "time";
        for (std::size_t ch = 0; ch < channels; ++ch) res.body += ",counter" + std::to_string(ch);
        res.body += ",reset\n";
        for (const auto &sample : samples) {
            char time[32];
            std::snprintf(time, sizeof time, "%.3f", sample.time);
            res.body += time;
            for (uint32_t value : sample.counters) res.body += "," + std::to_string(value);
            res.body += "," + (sample.resets != 0 ? api::hex(sample.resets) : std::string()) + "\n";
        }
        return res;
    }
    json list = json::array();
    for (const auto &sample : samples) {
        list.push_back({{"time", sample.time}, {"counters", sample.counters}, {"resets", api::hex(sample.resets)}});
    }
    return response_of({200, {{"interval", 2}, {"samples", list}}});
}

// An event stream, of one unit or of all (worker null). A new reader gets
// a hello with the state (one unit's snapshot, or the list of modules) and
// every event after it; a reader that comes back with Last-Event-ID gets
// what it missed from the ring, or a gap event first when the ring no
// longer holds all of it (or the daemon restarted), and then the state.
void HttpRoom::Api::events(const http::Request &req, const std::shared_ptr<http::Reply> &reply, Worker *worker) {
    EventHub &hub = units_.events();
    const auto resumed = position_of(req.header("Last-Event-ID"));
    const uint8_t unit_id = worker == nullptr ? EventHub::kAllUnits : worker->unit();
    // Only a position the ring still covers resumes; any other starts from
    // the state now, never with events older than it.
    const bool resumes = resumed && resumed->boot == hub.boot() && hub.holds_after(unit_id, resumed->number);
    json hello{{"boot", hub.boot()}, {"heartbeat", options_.heartbeat.count()}};
    if (worker == nullptr) {
        json list = json::array();
        for (const Worker *w : units_.all()) list.push_back(api::summary(*w));
        hello["modules"] = list;
        open_stream(units_, budget_, resumed, EventHub::kAllUnits, resumes ? resumed->number : hub.last(EventHub::kAllUnits),
                    std::move(hello), reply);
        return;
    }
    hello["unit"] = unit_id;
    hello["present"] = worker->present() || worker->hangs();
    hello["responding"] = worker->responding();
    if (resumes) {
        open_stream(units_, budget_, resumed, unit_id, resumed->number, std::move(hello), reply);
        return;
    }
    // The snapshot and its position are taken together on the worker, the
    // only thread that publishes this unit's events.
    auto seq = std::make_shared<uint64_t>(hub.last(unit_id));
    api::on_worker(
        *worker,
        [seq, &hub, unit_id](kdx::Module &m, Worker &w) {
            *seq = hub.last(unit_id);
            return api::monitor_state(m, w);
        },
        [&units = units_, &budget = budget_, seq, resumed, unit_id, hello, reply](Answer state) mutable {
            hello["state"] = state.status == 200 ? state.body : json(nullptr);
            open_stream(units, budget, resumed, unit_id, *seq, std::move(hello), reply);
        });
}

HttpRoom::HttpRoom(HttpOptions options, NetworkLoop &network, Units &units, Log &log)
    : api_(std::make_unique<Api>(options, units, log)) {
    http::Options transport;
    transport.endpoint = options.endpoint;
    transport.max_connections = options.max_clients;
    transport.max_per_address = options.max_per_address;
    transport.idle = options.idle_timeout.count() == 0 ? std::chrono::seconds(60)
                                                       : std::min(options.idle_timeout, std::chrono::seconds(60));
    transport.answer_timeout = options.request_timeout;
    transport.keepalive = options.heartbeat;
    transport.body_limit = kMaxBody;
    server_ = std::make_unique<http::Server>(transport, network, *api_, log);
    api_->server_counts_ = [server = server_.get()] { return server->counts(); };
    log.line(Topic::Service, "HTTP on " + options.endpoint.text + " (at most " +
                                 std::to_string(server_->max_connections()) + " connections)");
}

HttpRoom::~HttpRoom() = default;

void HttpRoom::reload_token() { api_->reload_token(); }

void HttpRoom::reload_access(std::vector<Cidr> allow, std::vector<Cidr> write_without_token) {
    api_->reload_access(std::move(allow), std::move(write_without_token));
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
        std::error_code ignored;
        throw std::invalid_argument("cannot read the token from '" + path + "': " +
                                    (std::filesystem::is_directory(path, ignored) ? "it is a directory, not a file"
                                                                                  : "the file is empty"));
    }
    const auto first = token.find_first_not_of(" \t\r");
    const auto last = token.find_last_not_of(" \t\r");
    token = first == std::string::npos ? "" : token.substr(first, last - first + 1);
    if (token.size() < 16) {
        throw std::invalid_argument("the token in '" + path + "' is shorter than 16 characters");
    }
    // It is typed into a header: visible ASCII only, no control byte a
    // client could never send (or a log line would carry).
    if (std::any_of(token.begin(), token.end(), [](unsigned char c) { return c < 0x21 || c > 0x7e; })) {
        throw std::invalid_argument("the token in '" + path + "' has blanks, control bytes or non-ASCII: "
                                    "visible ASCII characters only");
    }
    return token;
}

} // namespace kdxd
