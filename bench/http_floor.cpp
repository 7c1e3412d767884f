// SPDX-License-Identifier: MIT
// The HTTP floor, side by side with kdx7400d in one run:
//   http_floor serve PORT FILE
//       a minimal one-thread Boost.Beast server answering every GET with
//       FILE (read once), one keep-alive connection at a time
//   http_floor time PORT PATH REQUESTS ROUNDS GOAL_MS [WHAT]
//       GET PATH alone, in rounds: the medians of p50 and p99, and a
//       verdict of p50 against the goal; WHAT says how the run was set up
//   http_floor compare DAEMON_PORT FLOOR_PORT PATH REQUESTS ROUNDS
//       GET PATH from both over one keep-alive connection each, in rounds
//       whose order alternates: p50 and p99 of each, the daemon's p50
//       against the floor's (median and spread of the rounds) and a verdict
//       against the goal
//   http_floor module DAEMON_PORT PID BID REQUESTS ROUNDS
//       GET /api/modules/1 over one keep-alive connection beside the same
//       reads made in-process through the library (run with the module's
//       testbed), in rounds whose order alternates, with a verdict
#include <utility>

#include <kdx7400/module.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// The daemon's tiny-file GET at most this much slower than the floor.
constexpr double kGoal = 1.2;
// A GET of a module at most this much slower than its reads in-process.
constexpr double kModuleGoal = 1.5;
constexpr double kLoadLimit = 1.0;

int serve(unsigned short port, const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    const std::string body((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    asio::io_context context(1);
    tcp::acceptor acceptor(context, {asio::ip::make_address("127.0.0.1"), port});
    for (;;) {
        tcp::socket socket(context);
        acceptor.accept(socket);
        socket.set_option(tcp::no_delay(true));
        beast::flat_buffer buffer;
        beast::error_code ec;
        for (;;) {
            http::request<http::string_body> request;
            http::read(socket, buffer, request, ec);
            if (ec) break;
            http::response<http::string_body> response(http::status::ok, request.version());
            response.set(http::field::content_type, "image/svg+xml");
            response.body() = body;
            response.keep_alive(request.keep_alive());
            response.prepare_payload();
            http::write(socket, response, ec);
            if (ec || !request.keep_alive()) break;
        }
    }
}

// One keep-alive connection, requests one after another.
class Client {
public:
    explicit Client(unsigned short port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            std::perror("connect");
            std::exit(1);
        }
    }
    ~Client() { ::close(fd_); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Milliseconds for one GET, its whole answer read.
    double get(const std::string &request) {
        const auto start = Clock::now();
        if (::send(fd_, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) fail("send");
        std::string in;
        std::size_t head_end = std::string::npos, want = 0;
        char chunk[8192];
        while (head_end == std::string::npos || in.size() < want) {
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) fail("recv");
            in.append(chunk, static_cast<std::size_t>(got));
            if (head_end == std::string::npos && (head_end = in.find("\r\n\r\n")) != std::string::npos) {
                if (in.compare(0, 12, "HTTP/1.1 200") != 0) fail(in.substr(0, in.find("\r\n")).c_str());
                const std::size_t length = in.find("Content-Length: ");
                const std::size_t lower = in.find("content-length: ");
                const std::size_t at = length != std::string::npos ? length : lower;
                if (at == std::string::npos || at > head_end) fail("no Content-Length");
                want = head_end + 4 + std::strtoul(in.c_str() + at + 16, nullptr, 10);
            }
        }
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }

private:
    [[noreturn]] static void fail(const char *what) {
        std::fprintf(stderr, "http_floor: %s\n", what);
        std::exit(1);
    }
    int fd_ = -1;
};

struct Figures {
    double p50, p99;
};

template <typename Once> Figures measure_calls(Once once, int n) {
    for (int i = 0; i < 20; ++i) once(); // warm both ends
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) ms.push_back(once());
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
}

Figures measure(unsigned short port, const std::string &request, int n) {
    Client client(port);
    return measure_calls([&] { return client.get(request); }, n);
}

// What the daemon's GET of a module reads, under the module's lock.
double read_directly(kdx::Module &m) {
    const auto start = Clock::now();
    {
        const kdx::ModuleLock held = m.lock();
        (void)m.info();
        (void)m.read_outputs();
        (void)m.power_on();
        (void)m.output_inverse();
        (void)m.safety();
        (void)m.input_filter();
        (void)m.input_inverse();
        (void)m.counter_edge();
        (void)m.write_protect();
        (void)m.frame_rate_factor();
        (void)m.nickname();
        (void)m.read_counters();
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double load_average() {
    std::ifstream file("/proc/loadavg");
    double load = -1;
    file >> load;
    return load;
}

// The load average a run starts at: after the bench's own previous step
// it can take a minute to fall back under the limit.
double settled_load() {
    for (int second = 0; second < 90 && load_average() > kLoadLimit; ++second) ::sleep(1);
    return load_average();
}

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Two ways of doing the same, measured in rounds whose order alternates.
struct SideBySide {
    Figures ours, theirs; // medians over the rounds
    double ratio, low, high; // of the p50s: median and spread
};

template <typename Ours, typename Theirs> SideBySide side_by_side(Ours ours, Theirs theirs, int rounds) {
    std::vector<double> ours50, ours99, theirs50, theirs99, ratio;
    for (int round = 0; round < rounds; ++round) {
        Figures a{}, b{};
        if (round % 2 == 0) {
            a = ours();
            b = theirs();
        } else {
            b = theirs();
            a = ours();
        }
        ours50.push_back(a.p50);
        ours99.push_back(a.p99);
        theirs50.push_back(b.p50);
        theirs99.push_back(b.p99);
        ratio.push_back(a.p50 / b.p50);
    }
    return {{median_of(ours50), median_of(ours99)},
            {median_of(theirs50), median_of(theirs99)},
            median_of(ratio),
            *std::min_element(ratio.begin(), ratio.end()),
            *std::max_element(ratio.begin(), ratio.end())};
}

const char *verdict_of(double load, double ratio, double goal) {
    return load > kLoadLimit ? "not measurable: load above 1" : ratio <= goal ? "met" : "missed";
}

int compare(unsigned short daemon, unsigned short floor, const std::string &path, int n, int rounds,
            const std::string &what) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const double load = settled_load();
    const SideBySide r = side_by_side([&] { return measure(daemon, request, n); },
                                      [&] { return measure(floor, request, n); }, rounds);
    const char *verdict = verdict_of(load, r.ratio, kGoal);
    std::printf("GET %s, medians of %d rounds (load average %.2f before):\n", path.c_str(), rounds, load);
    std::printf("  kdx7400d          p50 %.3f ms  p99 %.3f ms\n", r.ours.p50, r.ours.p99);
    std::printf("  Beast floor       p50 %.3f ms  p99 %.3f ms\n", r.theirs.p50, r.theirs.p99);
    std::printf("  kdx7400d / floor  p50 %.2fx (%.2f-%.2f), goal <= %.1fx: %s\n", r.ratio, r.low, r.high, kGoal,
                verdict);
    if (const char *table = std::getenv("KDX7400_BENCH_MARKDOWN")) {
        char row[400];
        std::snprintf(row, sizeof row,
                      "| `GET %s` (a tiny file) beside a minimal one-thread Boost.Beast server, one keep-alive "
                      "connection each%s | p50 %.3f / %.3f ms, p99 %.3f / %.3f ms; %.2fx (%.2f-%.2f) | at most %.1fx: "
                      "%s |\n",
                      path.c_str(), what.c_str(), r.ours.p50, r.theirs.p50, r.ours.p99, r.theirs.p99, r.ratio, r.low, r.high, kGoal,
                      verdict);
        std::ofstream(table, std::ios::app) << row;
    }
    return 0;
}

int compare_module(unsigned short daemon, uint16_t product_id, uint8_t board_id, int n, int rounds) {
    const std::string request = "GET /api/modules/1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const double load = settled_load();
    kdx::Module module = kdx::Module::open(product_id, board_id);
    const SideBySide r =
        side_by_side([&] { return measure(daemon, request, n); },
                     [&] { return measure_calls([&] { return read_directly(module); }, n); }, rounds);
    const char *verdict = verdict_of(load, r.ratio, kModuleGoal);
    std::printf("GET /api/modules/1, medians of %d rounds (load average %.2f before):\n", rounds, load);
    std::printf("  kdx7400d            p50 %.3f ms  p99 %.3f ms\n", r.ours.p50, r.ours.p99);
    std::printf("  the same 12 reads   p50 %.3f ms  p99 %.3f ms  (in-process, C++)\n", r.theirs.p50, r.theirs.p99);
    std::printf("  GET / in-process    p50 %.2fx (%.2f-%.2f), goal <= %.1fx: %s\n", r.ratio, r.low, r.high,
                kModuleGoal, verdict);
    if (const char *table = std::getenv("KDX7400_BENCH_MARKDOWN")) {
        char row[400];
        std::snprintf(row, sizeof row,
                      "| `GET /api/modules/1` (12 reads under the lock, JSON) beside the same reads made "
                      "in-process, one keep-alive connection | p50 %.3f / %.3f ms, p99 %.3f / %.3f ms; %.2fx "
                      "(%.2f-%.2f) | at most %.1fx: %s |\n",
                      r.ours.p50, r.theirs.p50, r.ours.p99, r.theirs.p99, r.ratio, r.low, r.high, kModuleGoal,
                      verdict);
        std::ofstream(table, std::ios::app) << row;
    }
    return 0;
}

int time_alone(unsigned short port, const std::string &path, int n, int rounds, double goal_ms,
               const std::string &what) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const double load = settled_load();
    std::vector<double> p50, p99;
    for (int round = 0; round < rounds; ++round) {
        const Figures f = measure(port, request, n);
        p50.push_back(f.p50);
        p99.push_back(f.p99);
    }
    std::sort(p50.begin(), p50.end());
    std::sort(p99.begin(), p99.end());
    const double median = p50[p50.size() / 2];
    const char *verdict = load > kLoadLimit ? "not measurable: load above 1" : median <= goal_ms ? "met" : "missed";
    std::printf("GET %s%s, medians of %d rounds (load average %.2f before): p50 %.3f ms (%.3f-%.3f), p99 %.3f ms; "
                "goal p50 <= %.1f ms: %s\n",
                path.c_str(), what.c_str(), rounds, load, median, p50.front(), p50.back(), p99[p99.size() / 2], goal_ms, verdict);
    if (const char *table = std::getenv("KDX7400_BENCH_MARKDOWN")) {
        char row[400];
        std::snprintf(row, sizeof row, "| `GET %s`%s | p50 %.3f ms (%.3f-%.3f), p99 %.3f ms | p50 under %.0f ms: %s |\n",
                      path.c_str(), what.c_str(), median, p50.front(), p50.back(), p99[p99.size() / 2], goal_ms, verdict);
        std::ofstream(table, std::ios::app) << row;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 4) return serve(static_cast<unsigned short>(std::atoi(argv[2])), argv[3]);
    if (mode == "compare" && (argc == 7 || argc == 8)) {
        return compare(static_cast<unsigned short>(std::atoi(argv[2])), static_cast<unsigned short>(std::atoi(argv[3])),
                       argv[4], std::atoi(argv[5]), std::max(5, std::atoi(argv[6])), argc == 8 ? argv[7] : "");
    }
    if (mode == "module" && argc == 7) {
        return compare_module(static_cast<unsigned short>(std::atoi(argv[2])),
                              static_cast<uint16_t>(std::strtoul(argv[3], nullptr, 0)),
                              static_cast<uint8_t>(std::atoi(argv[4])), std::atoi(argv[5]),
                              std::max(5, std::atoi(argv[6])));
    }
    if (mode == "time" && (argc == 7 || argc == 8)) {
        return time_alone(static_cast<unsigned short>(std::atoi(argv[2])), argv[3], std::atoi(argv[4]),
                          std::max(5, std::atoi(argv[5])), std::atof(argv[6]), argc == 8 ? argv[7] : "");
    }
    std::fprintf(stderr, "usage: http_floor serve PORT FILE | time PORT PATH REQUESTS ROUNDS GOAL_MS [WHAT] | "
                         "compare DAEMON_PORT FLOOR_PORT PATH REQUESTS ROUNDS [WHAT] | module DAEMON_PORT PID BID REQUESTS ROUNDS\n");
    return 2;
}
