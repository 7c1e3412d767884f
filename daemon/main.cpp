// SPDX-License-Identifier: MIT
// kdx7400d: owns the KDX-7400 modules of this host and serves them to the
// network. Each module has a worker thread; front ends (Modbus TCP) hand
// the workers requests and never call the library themselves.
#include "front/http/http_room.h"
#include "front/modbus/modbus_room.h"
#include "front/modbus/modbus_security.h"
#include "front/mqtt/mqtt_room.h"
#include "front/mqtt/sparkplug_room.h"
#include "core/unit_book.h"
#include "core/worker.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iterator>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <unistd.h>
#include <iostream>
#include <sstream>
#include <string>
#include <pthread.h>
#include <sys/resource.h>

namespace {

using namespace kdxd;

// How often --all looks for modules plugged in since.
constexpr int kScanSeconds = 2;
// SIGTERM ends the daemon within 5 s: the front ends close first (a
// broker link takes up to 2 s to say goodbye), then the workers get what
// is left but a margin.
constexpr auto kWorkersStopWithin = std::chrono::milliseconds(3500);

struct Options {
    std::vector<std::string> modules, allow, allow_write;
    bool all = false, verbose = false;
    std::string modbus = "127.0.0.1:502";
    std::string modbus_tls, modbus_tls_cert, modbus_tls_key, modbus_tls_ca;
    std::vector<std::string> modbus_roles;
    unsigned max_clients = 32;
    unsigned idle_timeout = 60;
    unsigned evict_idle = 10;
    unsigned watch_interval = 50;
    std::string audit = "auto";
    std::string journal_socket = "/run/systemd/journal/socket";
    unsigned http_request_timeout = 12;
    unsigned http_heartbeat = 15;
    unsigned http_max_clients = 4096, http_max_per_address = 256, http_stream_memory = 32;
    std::string http, http_token_file, http_root, http_public_origin;
    std::vector<std::string> http_hosts, http_write_without_token, http_cors;
    std::string state_dir;
    std::string mqtt, mqtt_prefix, mqtt_reply_prefix, mqtt_client_id, mqtt_credentials, mqtt_protocol = "5";
    std::vector<std::string> mqtt_tls;
    bool mqtt_allow_commands = false;
    unsigned mqtt_outbox = 10000;
    std::optional<std::string> mqtt_ha_discovery;
    std::string sparkplug, sparkplug_node, sparkplug_host;
};

std::string host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// The page's folder as installed beside the program: BIN/../share/kdx7400d/www.
std::string installed_page() {
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("/usr/bin/kdx7400d");
    dir = dir.substr(0, dir.rfind('/'));
    return dir.substr(0, dir.rfind('/')) + "/share/kdx7400d/www";
}

// --verbose: every input event and every plug and unplug, as workers see them.
class LogEvents final : public EventSink {
public:
    explicit LogEvents(Log &log) : log_(log) {}
    void deliver(const ModuleEvent &event) override {
        std::string line = "unit " + std::to_string(event.unit) + ": ";
        switch (event.kind) {
        case ModuleEvent::Kind::plugged: line += "plugged"; break;
        case ModuleEvent::Kind::unplugged: line += "unplugged"; break;
        case ModuleEvent::Kind::outputs: line += "outputs " + std::to_string(event.outputs); break;
        case ModuleEvent::Kind::settings: line += std::string("settings by ") + origin_name(event.by); break;
        case ModuleEvent::Kind::watch: line += std::string("input watch ") + watch_name(event.watch); break;
        case ModuleEvent::Kind::responding: line += event.responding ? "answers again" : "does not answer"; break;
        case ModuleEvent::Kind::input:
            line += "input " + std::to_string(event.input.channel) + " ";
            switch (event.input.kind) {
            case kdx::InputEvent::Kind::rising: line += "rising"; break;
            case kdx::InputEvent::Kind::falling: line += "falling"; break;
            case kdx::InputEvent::Kind::reset: line += "counter cleared"; break;
            default: line += std::to_string(event.input.count) + " pulses"; break;
            }
        }
        log_.detail(line);
    }

private:
    Log &log_;
};

// Everything the command line says, checked before anything starts.
struct Plan {
    std::vector<UnitTarget> units;
    ModbusOptions modbus;
    std::optional<ModbusSecurityOptions> modbus_tls;
    std::optional<HttpOptions> http;
    std::optional<MqttOptions> mqtt;
    std::optional<SparkplugOptions> sparkplug;
};

// The role table: the one given, else viewer reads and operator does all.
std::map<std::string, FunctionCodes> roles_of(const Options &options) {
    if (options.modbus_roles.empty()) return default_roles();
    std::map<std::string, FunctionCodes> roles;
    for (const std::string &text : options.modbus_roles) {
        auto [name, codes] = parse_role(text);
        if (!roles.emplace(name, codes).second) throw std::invalid_argument("role '" + name + "' given twice");
    }
    return roles;
}

Plan plan_of(const Options &options) {
    Plan plan;
    for (const std::string &text : options.modules) {
        plan.units.push_back(parse_unit_target(text));
    }
    plan.modbus.endpoint = parse_endpoint(options.modbus);
    for (const std::string &text : options.allow) plan.modbus.allow.push_back(parse_cidr(text));
    // Plain Modbus carries no credential: only the addresses the operator
    // names may write, loopback no more than any other (any local user
    // could reach it).
    for (const std::string &text : options.allow_write) plan.modbus.allow_write.push_back(parse_cidr(text));
    plan.modbus.max_clients = options.max_clients;
    plan.modbus.idle_timeout = std::chrono::seconds(options.idle_timeout);
    plan.modbus.evict_idle = std::chrono::seconds(options.evict_idle);
    if (!options.modbus_tls.empty()) {
        ModbusSecurityOptions tls;
        tls.endpoint = parse_endpoint(options.modbus_tls);
        if (options.modbus_tls_cert.empty() || options.modbus_tls_key.empty() || options.modbus_tls_ca.empty()) {
            throw std::invalid_argument("--modbus-tls needs --modbus-tls-cert, --modbus-tls-key and --modbus-tls-ca");
        }
        tls.certificate = options.modbus_tls_cert;
        tls.key = options.modbus_tls_key;
        tls.client_ca = options.modbus_tls_ca;
        tls.roles = roles_of(options);
        tls.allow = plan.modbus.allow;
        tls.max_clients = options.max_clients;
        tls.idle_timeout = plan.modbus.idle_timeout;
        plan.modbus_tls = std::move(tls);
    } else if (!options.modbus_tls_cert.empty() || !options.modbus_tls_key.empty() || !options.modbus_tls_ca.empty() ||
               !options.modbus_roles.empty()) {
        throw std::invalid_argument("the --modbus-tls-* and --modbus-role options need --modbus-tls");
    }
    if (!options.http.empty()) {
        HttpOptions http;
        http.endpoint = parse_endpoint(options.http);
        http.allow = plan.modbus.allow;
        for (const std::string &text : options.http_write_without_token) {
            http.write_without_token.push_back(parse_cidr(text));
        }
        for (const std::string &name : options.http_hosts) {
            std::string host = name;
            std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
            http.hosts.push_back(host);
        }
        if (!options.http_public_origin.empty() && options.http_public_origin.rfind("https://", 0) != 0 &&
            options.http_public_origin.rfind("http://", 0) != 0) {
            throw std::invalid_argument("--http-public-origin is http://NAME or https://NAME[:PORT]");
        }
        http.public_origin = options.http_public_origin;
        for (std::string origin : options.http_cors) {
            std::transform(origin.begin(), origin.end(), origin.begin(), [](unsigned char c) { return std::tolower(c); });
            if (origin.rfind("https://", 0) != 0 && origin.rfind("http://", 0) != 0) {
                throw std::invalid_argument("--http-cors takes an origin: http://NAME[:PORT] or https://NAME[:PORT]");
            }
            http.cors.push_back(origin);
        }
        http.idle_timeout = plan.modbus.idle_timeout;
        http.request_timeout = std::chrono::seconds(options.http_request_timeout);
        http.heartbeat = std::chrono::seconds(options.http_heartbeat);
        http.max_clients = options.http_max_clients;
        http.max_per_address = options.http_max_per_address;
        http.stream_memory = std::size_t{options.http_stream_memory} << 20;
        http.root = options.http_root.empty() ? installed_page() : options.http_root;
        if (!options.http_token_file.empty()) {
            read_token(options.http_token_file); // a usage error now, not later
            http.token_file = options.http_token_file;
        }
        plan.http = http;
    } else if (!options.http_token_file.empty() || !options.http_root.empty()) {
        throw std::invalid_argument("--http-token-file and --http-root go with --http ADDR:PORT");
    }
    if (!options.mqtt.empty()) {
        MqttOptions mqtt;
        parse_broker(options.mqtt, mqtt.broker);
        mqtt.prefix = options.mqtt_prefix.empty() ? "kdx7400/" + host_name() : options.mqtt_prefix;
        check_prefix(mqtt.prefix);
        mqtt.reply_prefix = options.mqtt_reply_prefix.empty() ? mqtt.prefix + "/reply" : options.mqtt_reply_prefix;
        check_prefix(mqtt.reply_prefix);
        mqtt.broker.client_id =
            options.mqtt_client_id.empty() ? "kdx7400d-" + host_name() : options.mqtt_client_id;
        if (!options.mqtt_credentials.empty()) read_credentials(options.mqtt_credentials, mqtt.broker);
        if (options.mqtt_protocol != "5" && options.mqtt_protocol != "3.1.1") {
            throw std::invalid_argument("--mqtt-protocol is 5 or 3.1.1");
        }
        mqtt.broker.protocol = options.mqtt_protocol == "5" ? 5 : 311;
        if (!options.mqtt_tls.empty()) {
            if (options.mqtt_tls.size() != 1 && options.mqtt_tls.size() != 3) {
                throw std::invalid_argument("--mqtt-tls takes CA, or CA CERT KEY");
            }
            mqtt.broker.tls_ca = options.mqtt_tls[0];
            if (options.mqtt_tls.size() == 3) {
                mqtt.broker.tls_cert = options.mqtt_tls[1];
                mqtt.broker.tls_key = options.mqtt_tls[2];
            }
        }
        mqtt.allow_commands = options.mqtt_allow_commands;
        mqtt.outbox = options.mqtt_outbox;
        if (options.mqtt_ha_discovery) {
            mqtt.ha_discovery = options.mqtt_ha_discovery->empty() ? "homeassistant" : *options.mqtt_ha_discovery;
            check_prefix(*mqtt.ha_discovery);
        }
        if (!options.sparkplug.empty()) {
            SparkplugOptions edge;
            edge.broker = mqtt.broker;
            edge.broker.client_id += "-sparkplug"; // its own session and will
            edge.group = options.sparkplug;
            edge.node = options.sparkplug_node.empty() ? host_name() : options.sparkplug_node;
            check_sparkplug_id("--sparkplug", edge.group);
            check_sparkplug_id("--sparkplug-node", edge.node);
            if (!options.sparkplug_host.empty()) {
                check_sparkplug_id("--sparkplug-host", options.sparkplug_host);
                edge.primary_host = options.sparkplug_host;
            }
            edge.allow_commands = options.mqtt_allow_commands;
            edge.state_dir = state_dir(options.state_dir);
            plan.sparkplug = edge;
        }
        plan.mqtt = mqtt;
    } else if (!options.mqtt_prefix.empty() || !options.mqtt_reply_prefix.empty() || options.mqtt_allow_commands || options.mqtt_ha_discovery ||
               !options.mqtt_tls.empty() || !options.mqtt_credentials.empty() || !options.sparkplug.empty()) {
        throw std::invalid_argument("the --mqtt-* options go with --mqtt HOST:PORT");
    }
    return plan;
}

// Every option, on the command line and in the configuration file alike
// (its keys are the long names without the dashes).
void describe_options(CLI::App &app, Options &options) {
    app.option_defaults()->always_capture_default(); // --check-config prints what is in force
    app.allow_config_extras(CLI::config_extras_mode::error); // a misspelt key is no silent default
    app.set_config("--config", "", "FILE: options in TOML or INI (KEY = VALUE); the command line overrides it");
    app.add_option("--module", options.modules, "UNIT=PID:BID or UNIT=/dev/sgN (repeatable)");
    app.add_flag("--all", options.all,
                 "every module, now and when plugged in later: the unit it had before, else the lowest free one");
    app.add_option("--state-dir", options.state_dir,
                   "where --all keeps each module's unit (default: $STATE_DIRECTORY, else /var/lib/kdx7400d)");
    app.add_option("--modbus", options.modbus, "ADDR:PORT or [ADDR6]:PORT (default 127.0.0.1:502)");
    app.add_option("--modbus-tls", options.modbus_tls,
                   "ADDR:PORT for Modbus/TCP Security, TLS with client certificates (commonly 0.0.0.0:802)");
    app.add_option("--modbus-tls-cert", options.modbus_tls_cert, "the daemon's certificate chain (PEM) for --modbus-tls");
    app.add_option("--modbus-tls-key", options.modbus_tls_key, "its private key (PEM)");
    app.add_option("--modbus-tls-ca", options.modbus_tls_ca, "the CA (PEM) clients' certificates must chain to");
    app.add_option("--modbus-role", options.modbus_roles,
                   "NAME=CODES: the function codes a certificate's role may use, as viewer=1-4 or operator=* "
                   "(repeatable; default those two)");
    app.add_option("--http", options.http, "ADDR:PORT for the HTTP API and page (default: none)");
    app.add_option("--http-token-file", options.http_token_file, "file with the bearer token that may write over HTTP");
    app.add_option("--http-host", options.http_hosts,
                   "a name clients use for this host (repeatable); Host must be one, localhost or an address");
    app.add_option("--http-allow-write-without-token", options.http_write_without_token,
                   "CIDR that may write over HTTP with no token (repeatable; default: none)");
    app.add_option("--http-public-origin", options.http_public_origin,
                   "https://NAME of a reverse proxy in front: its pages may write, its name is accepted");
    app.add_option("--http-cors", options.http_cors,
                   "a browser origin (https://grafana.example) whose pages may use the API (repeatable)");
    app.add_option("--http-root", options.http_root, "the page's folder (default: installed beside the program)");
    app.add_option("--http-request-timeout", options.http_request_timeout,
                   "seconds an HTTP request waits for its module before 504 (default 12)")
        ->check(CLI::Range(1u, 600u));
    app.add_option("--http-heartbeat", options.http_heartbeat,
                   "seconds between heartbeat events on a quiet event stream (default 15)")
        ->check(CLI::Range(1u, 300u));
    app.add_option("--http-max-clients", options.http_max_clients,
                   "HTTP connections at once, event streams among them (default 4096, within the open-files limit)")
        ->check(CLI::Range(1u, 65536u));
    app.add_option("--http-max-per-address", options.http_max_per_address,
                   "HTTP connections at once from one address (default 256)")
        ->check(CLI::Range(1u, 65536u));
    app.add_option("--http-stream-memory", options.http_stream_memory,
                   "MiB of events waiting for every event-stream reader together (default 32)")
        ->check(CLI::Range(1u, 4096u));
    app.add_option("--mqtt", options.mqtt, "HOST:PORT of an MQTT broker to publish to (default: none)");
    app.add_option("--mqtt-prefix", options.mqtt_prefix, "the topics' prefix (default kdx7400/HOSTNAME)");
    app.add_option("--mqtt-reply-prefix", options.mqtt_reply_prefix,
                   "response topics a command may ask for lie under it (default PREFIX/reply)");
    app.add_option("--mqtt-client-id", options.mqtt_client_id, "the client ID (default kdx7400d-HOSTNAME)");
    app.add_option("--mqtt-credentials", options.mqtt_credentials, "file: the user name, and the password on line 2");
    app.add_option("--mqtt-protocol", options.mqtt_protocol, "5 or 3.1.1 (default 5)");
    app.add_option("--mqtt-tls", options.mqtt_tls, "CA [CERT KEY]: TLS to the broker, and a client certificate")
        ->expected(1, 3);
    app.add_option("--mqtt-outbox", options.mqtt_outbox,
                   "events kept per unit while the broker is away (default 10000; the oldest go first)")
        ->check(CLI::Range(1u, 1000000u));
    app.add_flag("--mqtt-allow-commands", options.mqtt_allow_commands,
                 "take commands from the broker (its ACL decides who may send them)");
    app.add_option("--mqtt-ha-discovery", options.mqtt_ha_discovery,
                   "publish Home Assistant discovery under PREFIX (default homeassistant)")
        ->expected(0, 1);
    app.add_option("--sparkplug", options.sparkplug, "GROUP: also a Sparkplug B edge node in this group (with --mqtt)");
    app.add_option("--sparkplug-node", options.sparkplug_node, "the edge node's ID (default HOSTNAME)");
    app.add_option("--sparkplug-host", options.sparkplug_host,
                   "a primary host application's ID: births wait for its STATE online");
    app.add_option("--allow", options.allow, "CIDR that may connect (repeatable; default anyone)");
    app.add_option("--allow-write", options.allow_write,
                   "CIDR that may write over Modbus (repeatable; default none, loopback included)");
    app.add_option("--max-clients", options.max_clients, "connections at once (default 32)")
        ->check(CLI::Range(1u, 1000u));
    app.add_option("--idle-timeout", options.idle_timeout, "seconds before a silent connection closes (default 60, 0: never)")
        ->check(CLI::Range(0u, 86400u));
    app.add_option("--evict-idle", options.evict_idle,
                   "seconds a Modbus connection must have been idle for a newcomer to push it out at --max-clients "
                   "(default 10)")
        ->check(CLI::Range(1u, 86400u));
    app.add_option("--watch-interval", options.watch_interval,
                   "ms between input samples while events are wanted (default 50, 0: never)")
        ->check(CLI::Range(0u, 60000u));
    app.add_flag("--verbose", options.verbose, "log every request and every input event");
    app.add_option("--audit", options.audit,
                   "where every write is recorded: journal, stderr, off, or auto (the journal when stderr goes "
                   "to it, else stderr; the default)")
        ->check(CLI::IsMember({"auto", "journal", "stderr", "off"}));
    app.add_option("--journal-socket", options.journal_socket,
                   "the journal's socket for the audit trail (default /run/systemd/journal/socket)");
}

// The options in force as a configuration file would give them, one per
// line: those given, and those whose default is a value (an empty list or
// name means "none", and an option left out reads back as that).
std::vector<std::string> effective_lines(const CLI::App &app) {
    std::vector<std::string> kept;
    for (const CLI::Option *option : app.get_options()) {
        const std::string defaulted = option->get_default_str();
        if (option->get_configurable() && (option->count() > 0 || (!defaulted.empty() && defaulted != "[]"))) {
            kept.push_back(option->get_single_name());
        }
    }
    std::vector<std::string> lines;
    std::istringstream text(app.config_to_str(true, false));
    for (std::string line; std::getline(text, line);) {
        if (std::find(kept.begin(), kept.end(), line.substr(0, line.find('='))) != kept.end()) {
            lines.push_back(line);
        }
    }
    return lines;
}

// Options SIGHUP applies to a running daemon: who may connect and write.
// Anything else changed waits for a restart.
bool applies_live(const std::string &key) {
    return key == "allow" || key == "allow-write" || key == "http-allow-write-without-token" || key == "modbus-role";
}

struct Reread {
    std::vector<std::string> changed; // keys set, changed or left out
    std::vector<std::string> lines;   // the options in force in the file now
    Options options;
};

// The configuration as SIGHUP finds it, beside what the daemon runs with.
Reread read_again(int argc, char **argv, const std::vector<std::string> &running) {
    CLI::App app;
    Reread reread;
    describe_options(app, reread.options);
    app.add_flag("--check-config");
    app.parse(argc, argv);
    plan_of(reread.options); // a configuration that would not start is reported, not half-read
    reread.lines = effective_lines(app);
    const auto note = [&reread](const std::vector<std::string> &from, const std::vector<std::string> &to) {
        for (const std::string &line : from) {
            const std::string key = line.substr(0, line.find('='));
            if (std::find(to.begin(), to.end(), line) == to.end() &&
                std::find(reread.changed.begin(), reread.changed.end(), key) == reread.changed.end()) {
                reread.changed.push_back(key);
            }
        }
    };
    note(reread.lines, running); // set or changed
    note(running, reread.lines); // left out
    return reread;
}

// The lines of `from` for key, in place of those in `into`.
void take_lines(std::vector<std::string> &into, const std::vector<std::string> &from, const std::string &key) {
    const auto of_key = [&key](const std::string &line) { return line.substr(0, line.find('=')) == key; };
    into.erase(std::remove_if(into.begin(), into.end(), of_key), into.end());
    std::copy_if(from.begin(), from.end(), std::back_inserter(into), of_key);
}

std::vector<Cidr> cidrs(const std::vector<std::string> &texts) {
    std::vector<Cidr> out;
    for (const std::string &text : texts) out.push_back(parse_cidr(text));
    return out;
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"kdx7400d - the KDX-7400 modules of this host, served over Modbus TCP (man kdx7400d)", "kdx7400d"};
    Options options;
    describe_options(app, options);
    bool check_only = false;
    app.add_flag("--check-config", check_only, "check the options and the configuration file, print them and exit")
        ->configurable(false);
    Plan plan;
    try {
        app.parse(argc, argv);
        plan = plan_of(options);
        if (plan.units.empty() && !options.all) {
            throw std::invalid_argument("no modules to serve (--module UNIT=PID:BID or --all)");
        }
    } catch (const CLI::ConfigError &error) {
        std::cerr << "kdx7400d: the configuration file: " << error.what() << " (an unknown key?)\n";
        return 2;
    } catch (const CLI::ParseError &error) {
        return app.exit(error) == 0 ? 0 : 2; // a usage error, as for every other tool
    } catch (const std::invalid_argument &error) {
        std::cerr << "kdx7400d: " << error.what() << "\n";
        return 2;
    }
    if (check_only) {
        // Secrets live in files (token, broker credentials): only their
        // names are printed.
        for (const std::string &line : effective_lines(app)) std::cout << line << "\n";
        std::cerr << "kdx7400d: the configuration is valid\n";
        return 0;
    }
    std::vector<std::string> running = effective_lines(app);

    // Signals are taken by sigtimedwait below, never by a handler: every
    // thread started from here on has them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Each connection is a descriptor: take what the hard limit allows
    // (systemd's is 512 Ki), or the soft 1,024 would cap the clients.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    Log log(options.verbose);
    LogEvents log_events(log);
    try {
        const LabelStore labels(state_dir(options.state_dir));
        const AuditTrail::Sink sink = options.audit == "journal"  ? AuditTrail::Sink::journal
                                      : options.audit == "stderr" ? AuditTrail::Sink::stderr_lines
                                      : options.audit == "off"    ? AuditTrail::Sink::off
                                                                  : AuditTrail::sink_for_stderr();
        AuditTrail audit(sink, options.journal_socket, log);
        Units units(std::chrono::milliseconds(options.watch_interval), log);
        units.keep_labels(labels);
        units.keep_audit(audit);
        std::optional<UnitBook> book;
        if (options.all) {
            book.emplace(state_dir(options.state_dir), log);
        }
        if (options.verbose) {
            units.subscribe(log_events, EventHub::kAllUnits, 0);
        }
        for (const UnitTarget &unit : plan.units) {
            units.add(unit.unit, unit.target);
        }
        if (book) {
            assign_modules(units, *book, log);
        }
        // One thread for every listener and connection of HTTP, Modbus and
        // Modbus over TLS; made before the rooms, so that it goes after them.
        NetworkLoop network;
        ModbusRoom modbus(plan.modbus, network, units, log);
        std::optional<ModbusSecurityRoom> modbus_tls;
        if (plan.modbus_tls) modbus_tls.emplace(*plan.modbus_tls, network, units, log);
        std::optional<MqttRoom> mqtt;
        if (plan.mqtt) {
            mqtt.emplace(*plan.mqtt, units, log);
        }
        std::optional<SparkplugRoom> sparkplug;
        if (plan.sparkplug) {
            sparkplug.emplace(*plan.sparkplug, units, log);
        }
        std::optional<HttpRoom> http;
        if (plan.http) {
            plan.http->more_metrics = [&modbus, &modbus_tls, &mqtt, &sparkplug] {
                std::string lines = metric_line("kdx7400_clients", "front_end=\"modbus\"",
                                                static_cast<double>(modbus.clients() +
                                                                    (modbus_tls ? modbus_tls->clients() : 0)));
                if (mqtt) lines += metric_line("kdx7400_clients", "front_end=\"mqtt\"", mqtt->connected() ? 1 : 0);
                // 0 while a link is down, whatever the cause (the log says which).
                if (mqtt || sparkplug) {
                    lines += "# HELP kdx7400_broker_connected Whether the link to the broker is up, by front end.\n"
                             "# TYPE kdx7400_broker_connected gauge\n";
                }
                if (mqtt) lines += metric_line("kdx7400_broker_connected", "front_end=\"mqtt\"", mqtt->connected() ? 1 : 0);
                if (sparkplug) {
                    lines += metric_line("kdx7400_broker_connected", "front_end=\"sparkplug\"",
                                         sparkplug->connected() ? 1 : 0);
                }
                if (mqtt || sparkplug) {
                    lines += "# HELP kdx7400_broker_refusals_total Publishes and subscriptions the broker refused "
                             "(its ACL), by front end.\n# TYPE kdx7400_broker_refusals_total counter\n";
                }
                const auto refusals = [&lines](const char *front_end, uint64_t publishes, uint64_t subscriptions) {
                    const std::string label = std::string("front_end=\"") + front_end + "\",what=";
                    lines += metric_line("kdx7400_broker_refusals_total", label + "\"publish\"",
                                         static_cast<double>(publishes));
                    lines += metric_line("kdx7400_broker_refusals_total", label + "\"subscribe\"",
                                         static_cast<double>(subscriptions));
                };
                if (mqtt) refusals("mqtt", mqtt->refused_publishes(), mqtt->refused_subscriptions());
                if (sparkplug) refusals("sparkplug", sparkplug->refused_publishes(), sparkplug->refused_subscriptions());
                return lines;
            };
            http.emplace(*plan.http, network, units, log);
        }
        network.start();
        if (mqtt) mqtt->start();
        if (sparkplug) sparkplug->start();
        auto stop_began = std::chrono::steady_clock::now();
        for (;;) {
            const timespec scan{kScanSeconds, 0};
            const int got = sigtimedwait(&signals, nullptr, &scan);
            if (got == SIGHUP) {
                // Reload: the token file again (rotated by the operator).
                try {
                    if (http) http->reload_token();
                    log.line(Topic::Service, "SIGHUP: token file read again");
                } catch (const std::invalid_argument &error) {
                    log.line(Topic::Service, std::string("SIGHUP: ") + error.what() + "; the token stays as it was");
                }
                try {
                    const Reread reread = read_again(argc, argv, running);
                    bool access = false;
                    for (const std::string &key : reread.changed) {
                        if (applies_live(key)) {
                            access = true;
                            take_lines(running, reread.lines, key);
                            log.line(Topic::Service, "SIGHUP: " + key + " changed in the configuration; applied");
                        } else {
                            log.line(Topic::Service,
                                     "SIGHUP: " + key + " changed in the configuration; it takes effect at a restart");
                        }
                    }
                    if (access) {
                        modbus.reload_access(cidrs(reread.options.allow), cidrs(reread.options.allow_write));
                        if (http) {
                            http->reload_access(cidrs(reread.options.allow),
                                                cidrs(reread.options.http_write_without_token));
                        }
                        if (modbus_tls) modbus_tls->reload_access(cidrs(reread.options.allow), roles_of(reread.options));
                    }
                } catch (const std::exception &error) {
                    log.line(Topic::Service, std::string("SIGHUP: the configuration does not read (") + error.what() +
                                                 "); the daemon runs on as it was started");
                }
                continue;
            }
            if (got > 0) {
                log.line(Topic::Service, std::string("stopping on ") + sigabbrev_np(got));
                stop_began = std::chrono::steady_clock::now();
                break;
            }
            if (book) {
                assign_modules(units, *book, log);
            }
        }
        if (sparkplug) sparkplug->stop();
        if (mqtt) mqtt->stop();
        network.stop();
        const std::vector<uint8_t> abandoned = units.stop(stop_began + kWorkersStopWithin);
        if (!abandoned.empty()) {
            // Their threads are in the kernel and may come back to anything
            // the daemon owns: end without tearing it down. What it keeps
            // on disk is always whole (written aside, then renamed).
            std::string which;
            for (const uint8_t unit : abandoned) which += (which.empty() ? "" : ", ") + std::to_string(unit);
            log.line(Topic::Service, "stopped; unit " + which + " left in a command its module never answered");
            std::fflush(nullptr);
            std::_Exit(0);
        }
        log.line(Topic::Service, "stopped");
        return 0;
    } catch (const std::invalid_argument &error) {
        std::cerr << "kdx7400d: " << error.what() << "\n";
        return 2;
    } catch (const std::exception &error) {
        std::cerr << "kdx7400d: " << error.what() << "\n";
        return 1;
    }
}
