// SPDX-License-Identifier: MIT
#include "front/modbus/modbus_security.h"

#include "front/modbus/modbus_map.h"
#include "front/modbus/modbus_room.h"
#include "transport/mailbox.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <unistd.h>

namespace kdxd {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;
using namespace modbus;

namespace {

// The role extension of Modbus/TCP Security, in a client's certificate.
constexpr const char *kRoleOid = "1.3.6.1.4.1.50316.802.1";
constexpr auto kHandshakeDeadline = std::chrono::seconds(5);
constexpr std::size_t kInBuffer = 1024;

unsigned function_code(const std::string &text, const std::string &whole) {
    std::size_t used = 0;
    unsigned long code = 0;
    try {
        code = std::stoul(text, &used);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used == 0 || used != text.size() || code < 1 || code > 127) {
        throw std::invalid_argument("a role's function codes are 1 to 127, as '1-4,6' or '*': '" + whole + "'");
    }
    return static_cast<unsigned>(code);
}

// Its subject, one line ("CN=rig-operator,O=Plant").
std::string subject_of(X509 *certificate) {
    BIO *out = BIO_new(BIO_s_mem());
    if (out == nullptr) return "?";
    X509_NAME_print_ex(out, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
    char *data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    std::string text(data, static_cast<std::size_t>(size > 0 ? size : 0));
    BIO_free(out);
    return text;
}

// The role a certificate carries, or none. Its bytes are the client's:
// parsed by OpenSSL's DER reader, kept only when it is a UTF8String.
std::optional<std::string> role_of(X509 *certificate) {
    ASN1_OBJECT *oid = OBJ_txt2obj(kRoleOid, 1);
    if (oid == nullptr) return std::nullopt;
    const int at = X509_get_ext_by_OBJ(certificate, oid, -1);
    ASN1_OBJECT_free(oid);
    if (at < 0) return std::nullopt;
    const ASN1_OCTET_STRING *data = X509_EXTENSION_get_data(X509_get_ext(certificate, at));
    const unsigned char *bytes = ASN1_STRING_get0_data(data);
    ASN1_UTF8STRING *text = d2i_ASN1_UTF8STRING(nullptr, &bytes, ASN1_STRING_length(data));
    if (text == nullptr) return std::nullopt;
    std::string role(reinterpret_cast<const char *>(ASN1_STRING_get0_data(text)),
                     static_cast<std::size_t>(ASN1_STRING_length(text)));
    ASN1_UTF8STRING_free(text);
    return role;
}

} // namespace

std::pair<std::string, FunctionCodes> parse_role(const std::string &text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
        throw std::invalid_argument("a role is NAME=CODES, as 'viewer=1-4' or 'operator=*': '" + text + "'");
    }
    const std::string name = text.substr(0, equals), codes = text.substr(equals + 1);
    FunctionCodes allowed;
    if (codes == "*") {
        allowed.set();
        return {name, allowed};
    }
    std::size_t start = 0;
    while (start <= codes.size()) {
        const std::size_t comma = std::min(codes.find(',', start), codes.size());
        const std::string item = codes.substr(start, comma - start);
        const std::size_t dash = item.find('-');
        const unsigned first = function_code(item.substr(0, dash), text);
        const unsigned last = dash == std::string::npos ? first : function_code(item.substr(dash + 1), text);
        if (last < first) throw std::invalid_argument("a range of function codes runs upwards: '" + text + "'");
        for (unsigned code = first; code <= last; ++code) allowed.set(code);
        start = comma + 1;
    }
    return {name, allowed};
}

std::map<std::string, FunctionCodes> default_roles() {
    return {parse_role("viewer=1-4"), parse_role("operator=*")};
}

class Session;

class ModbusSecurityRoom::Loop {
public:
    Loop(ModbusSecurityOptions options, NetworkLoop &network, Units &units, Log &log);
    void shutdown();
    void forget(Session &session);
    std::atomic<std::size_t> clients{0};
    void reload_access(std::vector<Cidr> allow, std::map<std::string, FunctionCodes> roles);
    // Whether the role's table entry takes the function code (a role the
    // table no longer names takes none).
    bool allows(const std::string &role, uint8_t function) const;
    bool knows(const std::string &role) const;
    bool admits(const Address &address) const { return allow_.admits(address); }

    const ModbusSecurityOptions options;
    Units &units;
    Log &log;
    const std::shared_ptr<Mailbox> mailbox;

private:
    void admit(int fd, const sockaddr_storage &peer);

    std::list<Session *> sessions_;
    LiveCidrs allow_;
    mutable std::mutex roles_mutex_;
    std::map<std::string, FunctionCodes> roles_;
    ssl::context tls_{ssl::context::tls_server};
    asio::io_context &context_;
    std::optional<Listener> listener_;
};

// One request at a worker. Apart from its session, so that a client that
// leaves frees everything at once: its answer then finds nobody.
struct SecureJob final : Job {
    std::weak_ptr<Session> session;
    std::shared_ptr<Mailbox> mailbox;
    std::shared_ptr<const Client> asker;
    std::shared_ptr<SecureJob> self; // kept until it is finished
    Request request;
    Reply reply;

    std::shared_ptr<const Client> client() const override { return asker; }
    bool is_write() const override { return modbus::is_write(request.function); }
    bool run(kdx::Module *module, Worker &worker) override {
        if (module == nullptr) {
            reply.exception = Exception::TargetFailed;
            return true;
        }
        serve(*module, worker, request, reply);
        return !reply.transfer_failed;
    }
    void finished() override;
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(ModbusSecurityRoom::Loop &loop, tcp::socket socket, ssl::context &tls, std::string name, Address address)
        : loop_(loop), stream_(std::move(socket), tls), timer_(stream_.get_executor()), name_(std::move(name)),
          address_(address) {}
    ~Session() { loop_.forget(*this); }
    std::list<Session *>::iterator place;

    void start();
    void close(const std::string &why);
    void answered(const SecureJob &job);
    const Address &address() const { return address_; }

private:
    void arm(std::chrono::seconds after, const char *why);
    void authorize();
    void read();
    void next();
    void answer(Exception exception);

    ModbusSecurityRoom::Loop &loop_;
    ssl::stream<tcp::socket> stream_;
    asio::steady_timer timer_;
    unsigned timer_round_ = 0;
    const std::string name_;
    const Address address_;
    std::shared_ptr<const Client> client_;
    std::string role_;
    std::array<uint8_t, kInBuffer> in_{};
    std::size_t in_used_ = 0;
    std::array<uint8_t, kMaxFrame> out_{};
    Request request_;
    Reply reply_;
    bool closed_ = false, at_worker_ = false;
};

void SecureJob::finished() {
    auto kept = std::move(self); // on the worker's thread: into the loop, or dropped with the loop gone
    mailbox->post([job = std::move(kept)] {
        if (auto session = job->session.lock()) session->answered(*job);
    });
}

void Session::arm(std::chrono::seconds after, const char *why) {
    const unsigned round = ++timer_round_;
    if (after.count() == 0) return;
    timer_.expires_after(after);
    timer_.async_wait([self = shared_from_this(), round, why](error_code ec) {
        if (!ec && round == self->timer_round_ && !self->at_worker_) self->close(why);
    });
}

void Session::start() {
    arm(kHandshakeDeadline, "no TLS handshake within 5 s");
    stream_.async_handshake(ssl::stream_base::server, [self = shared_from_this()](error_code ec) {
        if (self->closed_) return;
        if (ec) {
            self->close("TLS handshake failed: " + ec.message());
            return;
        }
        self->authorize();
    });
}

// The certificate has chained to the CA (else no handshake): what it may
// do is its role's, and a certificate without a known role may do nothing.
void Session::authorize() {
    X509 *certificate = SSL_get1_peer_certificate(stream_.native_handle());
    if (certificate == nullptr) {
        close("no client certificate");
        return;
    }
    const std::string subject = subject_of(certificate);
    const auto role = role_of(certificate);
    X509_free(certificate);
    if (!role || !loop_.knows(*role)) {
        close(role ? "certificate " + subject + " has role '" + *role + "', which the role table does not name"
                   : "certificate " + subject + " carries no role");
        return;
    }
    role_ = *role;
    client_ = std::make_shared<const Client>(Client{Origin::modbus, name_, subject + ", role " + *role});
    loop_.log.line(Topic::Connection, "connect " + name_ + " over TLS: " + subject + ", role " + *role);
    next();
}

// The next whole request in the buffer, else more bytes: one request at a
// time, so that answers keep their order.
void Session::next() {
    while (!closed_ && !at_worker_) {
        const long length = frame_length({in_.data(), in_used_});
        if (length < 0) {
            close("malformed frame (not Modbus TCP)");
            return;
        }
        if (length == 0) {
            read();
            return;
        }
        const auto size = static_cast<std::size_t>(length);
        Exception refused = decode({in_.data(), size}, request_);
        std::memmove(in_.data(), in_.data() + size, in_used_ - size);
        in_used_ -= size;
        if (refused == Exception::None && !loop_.allows(role_, request_.function)) refused = Exception::IllegalFunction;
        Worker *worker = refused == Exception::None ? loop_.units.find(request_.unit) : nullptr;
        if (refused == Exception::None && worker == nullptr) refused = Exception::PathUnavailable;
        if (refused == Exception::None && is_status_request(request_)) {
            answer(status_registers(unit_status(*worker), request_, reply_.registers.data()));
            return;
        }
        if (refused == Exception::None && worker->stalled()) refused = Exception::TargetFailed;
        if (refused != Exception::None) {
            answer(refused);
            return;
        }
        auto job = std::make_shared<SecureJob>();
        job->session = weak_from_this();
        job->mailbox = loop_.mailbox;
        job->asker = client_;
        job->request = request_;
        job->self = job;
        at_worker_ = true;
        if (!worker->submit(*job)) {
            job->self.reset();
            at_worker_ = false;
            answer(Exception::DeviceBusy);
        }
        return;
    }
}

void Session::read() {
    if (in_used_ == in_.size()) {
        close("a frame longer than Modbus allows");
        return;
    }
    arm(loop_.options.idle_timeout, "idle");
    stream_.async_read_some(asio::buffer(in_.data() + in_used_, in_.size() - in_used_),
                            [self = shared_from_this()](error_code ec, std::size_t got) {
                                if (self->closed_) return;
                                if (ec) {
                                    self->close(ec == asio::error::eof || ec == ssl::error::stream_truncated
                                                    ? (self->in_used_ != 0 ? "disconnect mid-frame" : "disconnect")
                                                    : ec.message());
                                    return;
                                }
                                self->in_used_ += got;
                                self->next();
                            });
}

void Session::answered(const SecureJob &job) {
    if (closed_) return;
    at_worker_ = false;
    reply_ = job.reply;
    answer(job.reply.exception);
}

void Session::answer(Exception exception) {
    reply_.exception = exception;
    const std::size_t size = encode(request_, reply_, {out_.data(), out_.size()});
    arm(std::chrono::seconds(20), "the client takes no answer");
    asio::async_write(stream_, asio::buffer(out_.data(), size), [self = shared_from_this()](error_code ec, std::size_t) {
        if (self->closed_) return;
        if (ec) {
            self->close(ec.message());
            return;
        }
        self->next();
    });
}

void Session::close(const std::string &why) {
    if (closed_) return;
    closed_ = true;
    ++timer_round_;
    timer_.cancel();
    loop_.log.line(client_ ? Topic::Connection : Topic::Refusal,
                   (client_ ? "disconnect " : "refused ") + name_ + " over TLS: " + why);
    error_code ignored;
    stream_.lowest_layer().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.lowest_layer().close(ignored);
}

ModbusSecurityRoom::Loop::Loop(ModbusSecurityOptions options_in, NetworkLoop &network, Units &units_in, Log &log_in)
    : options(std::move(options_in)), units(units_in), log(log_in), mailbox(network.mailbox()), allow_(options.allow),
      roles_(options.roles), context_(network.context()) {
    // TLS 1.2 and 1.3 only; the client must show a certificate the CA signed.
    SSL_CTX_set_min_proto_version(tls_.native_handle(), TLS1_2_VERSION);
    tls_.set_options(ssl::context::default_workarounds | ssl::context::no_compression);
    const auto load = [](const char *what, const std::string &path, auto &&step) {
        try {
            step();
        } catch (const boost::system::system_error &error) {
            throw std::invalid_argument(std::string("Modbus/TCP Security: cannot use the ") + what + " '" + path +
                                        "': " + error.code().message());
        }
    };
    load("certificate", options.certificate, [&] { tls_.use_certificate_chain_file(options.certificate); });
    load("key", options.key, [&] { tls_.use_private_key_file(options.key, ssl::context::pem); });
    load("client CA", options.client_ca, [&] { tls_.load_verify_file(options.client_ca); });
    tls_.set_verify_mode(ssl::verify_peer | ssl::verify_fail_if_no_peer_cert);
    // Bound once the certificates are known to do.
    listener_.emplace(network, options.endpoint, "Modbus/TCP Security", log,
                      [this](int fd, const sockaddr_storage &peer) { admit(fd, peer); });
    listener_->start();
    log.line(Topic::Service, "Modbus/TCP Security (TLS) on " + options.endpoint.text);
}

void ModbusSecurityRoom::Loop::admit(int fd, const sockaddr_storage &peer) {
    tcp::socket socket(context_);
    if (!adopt(socket, fd, peer)) return;
    const std::string name = peer_text(peer);
    if (!allow_.admits(peer_address(peer))) {
        log.line(Topic::Refusal, "refused " + name + " over TLS: not in --allow");
        return;
    }
    if (sessions_.size() >= options.max_clients) {
        log.line(Topic::Refusal, "refused " + name + " over TLS: " + std::to_string(options.max_clients) +
                                     " clients already");
        return;
    }
    tune_client_socket(fd);
    auto session = std::make_shared<Session>(*this, std::move(socket), tls_, name, peer_address(peer));
    sessions_.push_front(session.get());
    session->place = sessions_.begin();
    ++clients;
    session->start();
}

bool ModbusSecurityRoom::Loop::knows(const std::string &role) const {
    std::lock_guard guard(roles_mutex_);
    return roles_.count(role) != 0;
}

bool ModbusSecurityRoom::Loop::allows(const std::string &role, uint8_t function) const {
    std::lock_guard guard(roles_mutex_);
    const auto found = roles_.find(role);
    return found != roles_.end() && found->second.test(function);
}

void ModbusSecurityRoom::Loop::reload_access(std::vector<Cidr> allow, std::map<std::string, FunctionCodes> roles) {
    allow_.replace(std::move(allow));
    {
        std::lock_guard guard(roles_mutex_);
        roles_ = std::move(roles);
    }
    mailbox->post([this] {
        std::vector<std::shared_ptr<Session>> out;
        for (Session *session : sessions_) {
            if (!allow_.admits(session->address())) out.push_back(session->shared_from_this());
        }
        for (const auto &session : out) session->close("no longer in --allow");
    });
}

void ModbusSecurityRoom::Loop::forget(Session &session) {
    sessions_.erase(session.place);
    --clients;
}

void ModbusSecurityRoom::Loop::shutdown() {
    listener_->close();
    std::vector<std::shared_ptr<Session>> all;
    for (Session *session : sessions_) all.push_back(session->shared_from_this());
    for (const auto &session : all) session->close("stopping");
}

ModbusSecurityRoom::ModbusSecurityRoom(ModbusSecurityOptions options, NetworkLoop &network, Units &units, Log &log)
    : loop_(std::make_unique<Loop>(std::move(options), network, units, log)) {
    network.on_stop([loop = loop_.get()] { loop->shutdown(); });
}

ModbusSecurityRoom::~ModbusSecurityRoom() = default;

std::size_t ModbusSecurityRoom::clients() const { return loop_->clients.load(); }

void ModbusSecurityRoom::reload_access(std::vector<Cidr> allow, std::map<std::string, FunctionCodes> roles) {
    loop_->reload_access(std::move(allow), std::move(roles));
}

} // namespace kdxd
