// SPDX-License-Identifier: MIT
#include "front/api.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <initializer_list>
#include <set>
#include <string_view>
#include <variant>

namespace kdxd::api {

// 4xx and 5xx bodies: what went wrong, and the library's result code when
// the library said it.
Answer failure(int status, const std::string &text, int result) {
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

std::string hex(uint64_t value) { return kdxjson::mask(value); }

std::string text(const json &value) { return kdxjson::text(value); }

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


json summary(const Worker &worker) {
    // A module that hangs is there, but does not answer.
    json out{{"id", worker.unit()},
             {"target", worker.target().describe()},
             {"present", worker.present() || worker.hangs()},
             {"responding", worker.responding()},
             {"watch", worker.watch_state()}};
    const auto identity = worker.identity();
    out["identity"] = identity ? kdxjson::identity(*identity) : json(nullptr);
    return out;
}

json settings_json(const service::ModuleSettings &s) {
    return {{"power_on", hex(s.power_on)},
            {"output_inverse", s.output_inverse},
            {"safety", {{"first", hex(s.safety.outputs)}, {"second", hex(s.safety.values)}}},
            {"filter", s.filter},
            {"input_inverse", s.input_inverse},
            {"edge", s.edge},
            {"write_protect", s.write_protect},
            {"frame_rate_factor", s.frame_rate_factor},
            {"nickname", s.nickname}};
}

static json quality_json(const Worker &worker) {
    const auto now = std::chrono::steady_clock::now();
    const auto wall = std::chrono::system_clock::now();
    const Worker::WatchNow watch = worker.watch_now();
    json out{{"watch", {{"state", watch_name(watch.state)}, {"why", watch.why}}}};
    for (const auto &[name, value] : {std::pair{"inputs", Worker::Value::inputs},
                                      std::pair{"outputs", Worker::Value::outputs},
                                      std::pair{"counters", Worker::Value::counters},
                                      std::pair{"settings", Worker::Value::settings}}) {
        const auto at = worker.read_at(value);
        if (!at) {
            out[name] = {{"quality", "unknown"}, {"time", nullptr}, {"age", nullptr}};
            continue;
        }
        const auto age = now - *at;
        const double time = std::chrono::duration<double>((wall - age).time_since_epoch()).count();
        // A value kept from before a hang, an unplug or a pause is stale at once.
        const bool current = worker.current(value, now);
        out[name] = {{"quality", current ? "current" : "stale"},
                     {"time", std::round(time * 1000) / 1000},
                     {"age", std::round(std::chrono::duration<double>(age).count() * 1000) / 1000}};
    }
    return out;
}

json known_state(Worker &worker) {
    const Worker::Known k = worker.known();
    json out = summary(worker);
    out["outputs"] = k.outputs ? json(hex(*k.outputs)) : json(nullptr);
    out["inputs"] = k.inputs ? json(hex(*k.inputs)) : json(nullptr);
    out["counters"] = k.counters ? json(*k.counters) : json(nullptr);
    out["watchdog_timeout"] = k.watchdog_ms;
    if (k.settings) out.update(settings_json(*k.settings));
    const auto since = worker.since_last_write();
    out["watchdog"] = {{"timeout", k.watchdog_ms}, {"since_write_ms", since ? json(since->count()) : json(nullptr)}};
    out["labels"] = labels_json(worker.labels());
    out["quality"] = quality_json(worker);
    return out;
}

// A module's state as the API shows it: one snapshot of the service.
json state_of(kdx::Module &m, Worker &worker) {
    const service::Snapshot s = service::snapshot(m);
    worker.snapshot_read(s); // what a reader of this state then hears of
    worker.metrics().counters_read(s.counters);
    return known_state(worker);
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

namespace {

// A body names only the keys its request takes: a misspelt one ("valeu")
// is refused, never passed over while the rest is carried out.
std::optional<Answer> unknown_key(const json &body, std::initializer_list<std::string_view> keys) {
    if (!body.is_object()) return std::nullopt; // the shape's own check says what was expected
    for (const auto &[key, value] : body.items()) {
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) return failure(422, "unknown key '" + key + "'");
    }
    return std::nullopt;
}

} // namespace

Answer write_outputs(kdx::Module &m, Worker &worker, const json &body) {
    uint64_t mask = 0, value = 0;
    const bool one_channel = body.is_object() && body.contains("channel");
    if (auto bad = one_channel ? unknown_key(body, {"channel", "on"}) : unknown_key(body, {"mask", "value"})) {
        return *bad;
    }
    if (one_channel) {
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

Answer toggle_outputs(kdx::Module &m, Worker &worker, const json &body) {
    if (auto bad = unknown_key(body, {"mask"})) return *bad;
    const auto mask = body.is_object() && body.contains("mask") ? mask_of(body["mask"]) : std::nullopt;
    if (!mask) return failure(422, "expected {\"mask\": M}");
    const auto outputs = service::toggle_outputs(m, worker, mask.value_or(0));
    if (const auto *refusal = std::get_if<service::Refusal>(&outputs)) return refused(*refusal);
    return {200, {{"outputs", hex(std::get<uint64_t>(outputs))}}};
}

Answer clear_watchdog(kdx::Module &m, Worker &worker, const json &) {
    service::clear_watchdog(m, worker);
    return Answer{200, {{"watchdog_timeout", m.watchdog_timeout()}}};
}

Answer clear_counters(kdx::Module &m, Worker &worker, const json &body) {
    if (auto bad = unknown_key(body, {"mask"})) return *bad;
    const auto mask = body.is_object() && body.contains("mask") ? mask_of(body["mask"]) : std::nullopt;
    if (!mask) return failure(422, "expected {\"mask\": M}");
    // What they counted until now stays in the pulse totals.
    worker.metrics().counters_read(m.read_counters());
    if (const auto refusal = service::clear_counters(m, worker, mask.value_or(0))) return refused(*refusal);
    const std::vector<uint32_t> counters = m.read_counters();
    worker.metrics().counters_read(counters);
    return Answer{200, {{"counters", counters}}};
}


namespace {

// One API call carried out by a module's worker; its result goes to done
// on the worker's thread. It owns all it uses: the HTTP request it answers
// may have been given up on (504) or its client gone.
class Call final : public Job {
public:
    using Work = std::function<Answer(kdx::Module &, Worker &)>;
    using Done = std::function<void(Answer)>;

    static void on(Worker &worker, Work work, Done done, bool writes = false,
                   std::shared_ptr<const Client> client = nullptr, std::shared_ptr<Claim> claim = nullptr) {
        submit(worker, new Call(std::move(work), std::move(done), writes, std::move(client), std::move(claim)));
    }

    static void submit(Worker &worker, Call *call) {
        if (!worker.submit(*call)) {
            Done refuse = std::move(call->done_);
            delete call;
            refuse(failure(503, "too many requests wait for this module"));
        }
    }

    // A scrape reaches every unit at once and comes back only at its next
    // interval: a worker kept awake after it would only take a core from
    // the units still reading.
    static void once_on(Worker &worker, Work work, Done done) {
        auto *call = new Call(std::move(work), std::move(done), false, nullptr, nullptr);
        call->again_soon_ = false;
        submit(worker, call);
    }

    bool is_write() const override { return writes_; }
    std::shared_ptr<const Client> client() const override { return client_; }
    bool asked_again_soon() const override { return again_soon_; }
    bool start() override {
        if (claim_ && !claim_->start()) {
            answer_ = failure(504, "withdrawn before it started");
            return false;
        }
        return true;
    }

    bool run(kdx::Module *module, Worker &worker) override {
        bool transfer_failed = false;
        if (module == nullptr && worker.stalled()) {
            answer_ = failure(503, "the module does not answer", RESULT_BUSY);
        } else if (module == nullptr) {
            answer_ = failure(503, "the module is absent", RESULT_NOT_OPEN);
        } else {
            try {
                answer_ = work_(*module, worker);
            } catch (const kdx::Error &error) {
                answer_ = failure_of(error.code());
                transfer_failed = error.code() != kdx::errc::invalid_param;
            } catch (const std::exception &error) {
                answer_ = failure(500, error.what());
            }
        }
        return !transfer_failed;
    }

    void finished() override {
        done_(std::move(answer_));
        delete this;
    }

private:
    Call(Work work, Done done, bool writes, std::shared_ptr<const Client> client, std::shared_ptr<Claim> claim)
        : work_(std::move(work)), done_(std::move(done)), writes_(writes), client_(std::move(client)),
          claim_(std::move(claim)) {}
    ~Call() = default;

    Work work_;
    Done done_;
    const bool writes_;
    const std::shared_ptr<const Client> client_;
    const std::shared_ptr<Claim> claim_;
    bool again_soon_ = true;
    Answer answer_;
};


} // namespace

void call(Units &units, const std::string &id, bool writes, Operation operation, const std::string &text, Done done,
          std::shared_ptr<const Client> client, std::shared_ptr<Claim> claim) {
    Worker *worker = find(units, id);
    if (worker == nullptr) {
        done(failure(404, "no module " + id));
        return;
    }
    if (worker->stalled()) { // its module hangs: no use waiting behind it
        done(failure(503, "the module does not answer", RESULT_BUSY));
        return;
    }
    json body;
    if (writes) {
        bool twice = false;
        body = parse_body(text, twice);
        if (body.is_discarded()) {
            done(failure(400, "the body is not JSON"));
            return;
        }
        if (twice) {
            done(failure(422, "the body names a key twice"));
            return;
        }
    }
    Call::on(
        *worker,
        [writes, operation, body = std::move(body)](kdx::Module &m, Worker &w) {
            const kdx::ModuleLock held = writes ? m.lock() : kdx::ModuleLock();
            return operation(m, w, body);
        },
        std::move(done), writes, std::move(client), std::move(claim));
}

void on_worker(Worker &worker, std::function<Answer(kdx::Module &, Worker &)> work, Done done) {
    Call::on(worker, std::move(work), std::move(done));
}

json labels_json(const Labels &labels) { return {{"inputs", labels.inputs}, {"outputs", labels.outputs}}; }

std::variant<Labels, Answer> labels_of(const json &body, const Worker &worker) {
    if (!body.is_object()) return failure(422, "expected {\"inputs\": [names], \"outputs\": [names]}");
    if (auto bad = unknown_key(body, {"inputs", "outputs"})) return *bad;
    const auto identity = worker.identity();
    // A kind the body leaves out keeps its names: a 64-channel module's
    // names go in one request per kind, each within the body limit.
    Labels labels = worker.labels();
    for (const auto &[key, into] : {std::pair{"inputs", &labels.inputs}, std::pair{"outputs", &labels.outputs}}) {
        if (!body.contains(key)) continue;
        into->clear();
        const json &names = body.at(key);
        const std::size_t channels = !identity ? Labels::kMaxChannels
                                     : std::string(key) == "inputs" ? identity->counts.di
                                                                    : identity->counts.do_;
        if (!names.is_array() || names.size() > channels) {
            return failure(422, std::string(key) + " is a list of at most " + std::to_string(channels) + " names");
        }
        for (const json &name : names) {
            if (!name.is_string()) return failure(422, std::string(key) + " holds names (strings)");
            const std::string text = name.get<std::string>();
            if (text.size() > Labels::kMaxBytes ||
                std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
                return failure(422, "a name is at most 40 bytes, without control characters");
            }
            into->push_back(text);
        }
    }
    return labels;
}

void read_state_on(Worker &worker, Done done) {
    Call::on(worker, [](kdx::Module &m, Worker &w) { return Answer{200, state_of(m, w)}; }, std::move(done));
}

Answer monitor_state(kdx::Module &m, Worker &worker) {
    return {200, worker.may_command_on_own_account() ? state_of(m, worker) : known_state(worker)};
}

void monitor_state_on(Worker &worker, Done done) {
    Call::on(worker, monitor_state, std::move(done));
}

// Settings are not shown by a scrape, and reading them is most of a full
// state's commands. While the watch samples, what it read is as current as
// a read now would be, and scrapers add no commands to the module's load.
static Answer scrape_values(kdx::Module &m, Worker &worker) {
    const bool kept = worker.watch_keeps_values_current();
    if (!kept && worker.may_command_on_own_account()) {
        const kdx::ModuleLock held = m.lock();
        const uint64_t inputs = m.read_inputs();
        const uint64_t outputs = m.read_outputs();
        const std::vector<uint32_t> counters = m.read_counters();
        worker.values_read(inputs, outputs, counters);
        worker.metrics().counters_read(counters);
    }
    const Worker::Known k = worker.known();
    const auto identity = worker.identity();
    return {200,
            {{"inputs", k.inputs ? json(*k.inputs) : json(nullptr)},
             {"outputs", k.outputs ? json(*k.outputs) : json(nullptr)},
             {"di", identity ? identity->counts.di : 0u},
             {"do", identity ? identity->counts.do_ : 0u}}};
}

void scrape_values_on(Worker &worker, Done done) { Call::once_on(worker, scrape_values, std::move(done)); }

Answer read_state(kdx::Module &m, Worker &worker, const json &) { return {200, state_of(m, worker)}; }

Answer read_monitor_state(kdx::Module &m, Worker &worker, const json &) { return monitor_state(m, worker); }

std::optional<unsigned> plain_number(std::string_view text, unsigned limit) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text.front() == '0')) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > limit) return std::nullopt;
    return static_cast<unsigned>(value);
}

Worker *find(Units &units, const std::string &id) {
    const auto unit = plain_number(id, 255);
    return unit ? units.find(static_cast<uint8_t>(*unit)) : nullptr;
}

const char *event_name(const ModuleEvent &event) {
    switch (event.kind) {
    case ModuleEvent::Kind::plugged: return "plugged";
    case ModuleEvent::Kind::unplugged: return "unplugged";
    case ModuleEvent::Kind::outputs: return "outputs";
    case ModuleEvent::Kind::settings: return "settings";
    case ModuleEvent::Kind::watch: return "watch";
    case ModuleEvent::Kind::responding: return "responding";
    case ModuleEvent::Kind::input: break;
    }
    return "input";
}

// Who wrote: the front end, and the client as the audit trail names it.
static void by_json(json &data, const ModuleEvent &event) {
    data["by"] = origin_name(event.by);
    if (event.client) data["client"] = {{"address", event.client->address}, {"identity", event.client->identity}};
}

json event_json(const ModuleEvent &event, const std::string &boot) {
    const double time = std::chrono::duration<double>(event.input.wall.time_since_epoch()).count();
    json data{{"unit", event.unit}, {"time", time}, {"seq", event.seq}, {"boot", boot}};
    if (event.kind == ModuleEvent::Kind::outputs) {
        data["outputs"] = hex(event.outputs);
        by_json(data, event);
    } else if (event.kind == ModuleEvent::Kind::settings && event.settings) {
        data["settings"] = settings_json(*event.settings);
        by_json(data, event);
    } else if (event.kind == ModuleEvent::Kind::watch) {
        data["watch"] = watch_name(event.watch);
        data["why"] = event.why;
        data["watchdog_timeout"] = event.watchdog_ms;
    } else if (event.kind == ModuleEvent::Kind::responding) {
        data["responding"] = event.responding;
        data["why"] = event.why;
    } else if (event.kind == ModuleEvent::Kind::input) {
        data["channel"] = event.input.channel;
        data["kind"] = event.input.kind == kdx::InputEvent::Kind::rising    ? "rising"
                       : event.input.kind == kdx::InputEvent::Kind::falling ? "falling"
                       : event.input.kind == kdx::InputEvent::Kind::reset   ? "reset"
                                                                            : "pulses";
        data["count"] = event.input.count;
    }
    return data;
}

} // namespace kdxd::api
