// SPDX-License-Identifier: MIT
// The API's JSON, shared by the front ends that speak it (HTTP, MQTT): the
// shapes of a module, an event and an answer, and a request's body
// translated into the service's operations, run on the module's worker.
#pragma once

#include "core/service.h"
#include "core/worker.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <variant>
#include <string>
#include <string_view>

namespace kdxd::api {

using json = nlohmann::json;

// An answer: an HTTP status (MQTT results carry it too) and a JSON body.
struct Answer {
    int status = 200;
    json body;
};

// 4xx and 5xx bodies: what went wrong, and the library's result code when
// the library said it.
Answer failure(int status, const std::string &text, int result = 0);
Answer failure_of(const std::error_code &code);

std::string lower(std::string text);
// A request body as JSON; discarded when it is not JSON. twice: an object
// names a key twice.
json parse_body(const std::string &text, bool &twice);
std::string hex(uint64_t value);
// A unit or channel as a path or topic names it: plain decimal digits, no
// leading zero, at most limit. One spelling each, so that a rule on
// "P/2/#" (a broker's ACL, a proxy's path) cannot be passed as "P/02/".
std::optional<unsigned> plain_number(std::string_view text, unsigned limit);
// JSON as sent on every front end. Texts from a module (nickname, product,
// firmware) are any bytes: what is not UTF-8 goes out as U+FFFD, never as
// an exception that would end the daemon.
std::string text(const json &value);
// A mask as JSON: a number (exact up to 2^53) or a "0x..." string.
std::optional<uint64_t> mask_of(const json &value);

json summary(const Worker &worker);
json labels_json(const Labels &labels);
// A labels request: {"inputs": [...], "outputs": [...]}, names of at most
// 40 bytes without control characters, for channels the module has; a
// kind left out keeps its names.
std::variant<Labels, Answer> labels_of(const json &body, const Worker &worker);
// A module's state: one snapshot of the service, on its worker, with the
// quality of every value (all current, just read).
json state_of(kdx::Module &m, Worker &worker);
// The state as the worker last knew it, each value with its time, age and
// quality (current, stale or unknown); on its worker, with no command.
json known_state(Worker &worker);
// A monitor's read (an event stream's hello, /metrics, MQTT state, the
// page): the module is read only when the watchdog rule lets the daemon
// command it on its own account; otherwise what is known, marked stale.
Answer monitor_state(kdx::Module &m, Worker &worker);
const char *event_name(const ModuleEvent &event);
json event_json(const ModuleEvent &event, const std::string &boot);

// The operations a request may ask for, with its JSON body.
using Operation = Answer (*)(kdx::Module &, Worker &, const json &);
Answer read_state(kdx::Module &m, Worker &worker, const json &);
Answer read_monitor_state(kdx::Module &m, Worker &worker, const json &);
Answer write_outputs(kdx::Module &m, Worker &worker, const json &body);
Answer toggle_outputs(kdx::Module &m, Worker &worker, const json &body);
Answer clear_counters(kdx::Module &m, Worker &worker, const json &body);
Answer clear_watchdog(kdx::Module &m, Worker &worker, const json &body);
Answer apply_settings(kdx::Module &m, Worker &worker, const json &body);

// Where an answer goes: called once, on the worker's thread (or at once,
// when the request is refused before it gets there).
using Done = std::function<void(Answer)>;

// The unit a text names ("1" to "247"), or null.
Worker *find(Units &units, const std::string &id);
// One request for unit id: its body checked (not JSON 400, a key twice
// 422), then the operation on the module's worker, under the module's lock
// when it writes. client: who asks (the events and the audit trail name
// it). A claim, when given, lets the asker withdraw it unstarted.
void call(Units &units, const std::string &id, bool writes, Operation operation, const std::string &text, Done done,
          std::shared_ptr<const Client> client, std::shared_ptr<Claim> claim = nullptr);
// The unit's state read on its worker (503 while its module is absent).
void read_state_on(Worker &worker, Done done);
void monitor_state_on(Worker &worker, Done done);
// What a scrape shows of a unit, on its worker: {inputs, outputs, di, do},
// the levels as numbers (null when never read). Read now, in three
// commands, when the daemon may command the module on its own account;
// otherwise as last known.
void scrape_values_on(Worker &worker, Done done);
// Any work on a module's worker, answered through done.
void on_worker(Worker &worker, std::function<Answer(kdx::Module &, Worker &)> work, Done done);

} // namespace kdxd::api
