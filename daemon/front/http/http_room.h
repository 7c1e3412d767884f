// SPDX-License-Identifier: MIT
// The HTTP front end: a JSON API over the module workers, their input
// events as server-sent events, and the dashboard page, on the daemon's
// network loop (http_server.h).
#pragma once

#include "transport/http_server.h"
#include "core/log.h"
#include "transport/net.h"
#include "core/worker.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kdxd {

struct HttpOptions {
    Endpoint endpoint;
    std::vector<Cidr> allow;                // empty: anyone may connect
    std::vector<Cidr> write_without_token;  // may write with no token (--http-allow-write-without-token)
    std::string token_file;                 // empty: no token is accepted
    std::vector<std::string> hosts;         // names Host may give besides localhost and IP addresses
    std::string public_origin;              // e.g. https://rig.example behind a reverse proxy
    std::vector<std::string> cors;          // browser origins that may use the API (--http-cors)
    std::string root;              // the page's folder
    std::size_t max_clients = 4096;     // connections at once, event streams among them
    std::size_t max_per_address = 256;  // of them from one address
    std::size_t stream_memory = 32u << 20; // events waiting for every event-stream reader together
    std::chrono::seconds idle_timeout{60};
    // How long a request waits for its module before 504; its job is then
    // dropped if it has not begun, else runs to the end (a dozen commands
    // of up to 5 s each on a hung module).
    std::chrono::seconds request_timeout{12};
    // How often a quiet event stream says it is alive (hello says it too).
    std::chrono::seconds heartbeat{15};
    // The other front ends' lines for /metrics (their client counts).
    std::function<std::string()> more_metrics;
};

class HttpRoom {
public:
    // Binds the listening socket; throws std::system_error. It serves on
    // the network loop once that runs.
    HttpRoom(HttpOptions options, NetworkLoop &network, Units &units, Log &log);
    HttpRoom(const HttpRoom &) = delete;
    HttpRoom &operator=(const HttpRoom &) = delete;
    ~HttpRoom();

    // Reads the token file again (SIGHUP); throws std::invalid_argument and
    // keeps the token it had when the file will not do.
    void reload_token();
    // New --allow and --http-allow-write-without-token lists (SIGHUP),
    // from the next request on.
    void reload_access(std::vector<Cidr> allow, std::vector<Cidr> write_without_token);

    // Request bodies larger than this are refused (413).
    static constexpr std::size_t kMaxBody = 4096;

private:
    class Api;
    std::unique_ptr<Api> api_;
    std::unique_ptr<http::Server> server_;
};

// The bearer token from a file, surrounding white space dropped; throws
// std::invalid_argument when it cannot be read or is shorter than 16.
std::string read_token(const std::string &path);

} // namespace kdxd
