#include "bench/load/load_run.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/epoll.h>

#include <algorithm>
#include <csignal>
#include <cstdio>

#include "bench/load/proc_cpu.h"
#include "bench/load/tls_exchange.h"

namespace {

struct Ap {
    Ipv4Addr source;
    MacAddr mac;
    std::string request;
    std::string prepare_request;
    std::optional<ClientCredentials> credentials;
    TlsExchange exchange;
    bool again = false;  // continuous mode: ask again when answered
};

int new_ticket(SSL* ssl, SSL_SESSION*) {
    auto* count = static_cast<uint64_t*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    ++*count;
    return 0;  // not kept: APs never resume
}

SslCtxPtr client_context(const LoadOptions& opts, uint64_t* tickets, std::string* error) {
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        *error = "SSL_CTX_new failed";
        return nullptr;
    }
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_app_data(ctx.get(), tickets);
    SSL_CTX_set_session_cache_mode(ctx.get(),
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx.get(), new_ticket);
    if (!opts.server_ca.empty()) {
        if (SSL_CTX_load_verify_locations(ctx.get(), opts.server_ca.c_str(), nullptr) != 1) {
            *error = "cannot load " + opts.server_ca;
            return nullptr;
        }
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    }
    return ctx;
}

template <typename T, typename Reader>
std::unique_ptr<T, SslFree> read_pem(const std::string& path, Reader reader) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "r"), std::fclose);
    if (!file) {
        return nullptr;
    }
    return std::unique_ptr<T, SslFree>(reader(file.get(), nullptr, nullptr, nullptr));
}

std::optional<ClientCredentials> load_credentials(const std::string& dir, const MacAddr& mac,
                                                  std::string* error) {
    const std::string base = dir + "/" + bare_upper_mac(mac);
    ClientCredentials credentials{read_pem<X509>(base + ".pem", PEM_read_X509),
                                  read_pem<EVP_PKEY>(base + ".key", PEM_read_PrivateKey)};
    if (!credentials.cert || !credentials.key) {
        *error = "cannot read the client certificate and key " + base + ".pem/.key";
        return std::nullopt;
    }
    return credentials;
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

class Runner {
  public:
    Runner(const LoadOptions& opts, SSL_CTX* ctx, std::vector<Ap>& aps, const sockaddr_in& server,
           LoadResult& result)
        : opts_(opts), ctx_(ctx), aps_(aps), server_(server), result_(result) {
        epoll_ = UniqueFd(epoll_create1(EPOLL_CLOEXEC));
        pending_.assign(aps.size(), false);
        relaunch_.assign(aps.size(), false);
        run_deadline_ = Clock::now() + std::chrono::seconds(opts.run_timeout_s);
    }

    bool ok() const { return epoll_.get() >= 0; }

    void prepare() { phase(true, std::nullopt); }

    void measure() {
        const auto begin = Clock::now();
        last_done_ = begin;
        if (opts_.duration_s > 0) {
            phase(false, begin + std::chrono::seconds(opts_.duration_s));
        } else {
            for (int r = 0; r < opts_.rounds && Clock::now() < run_deadline_; ++r) {
                phase(false, std::nullopt);
            }
        }
        result_.elapsed_s = seconds(last_done_ - begin);
    }

  private:
    // All APs start; in continuous mode each asks again until `until`.
    void phase(bool preparing, std::optional<Clock::time_point> until) {
        preparing_ = preparing;
        round_ = {};
        for (size_t i = 0; i < aps_.size(); ++i) {
            aps_[i].again = until.has_value();
            launch(i);
        }
        while (active_ > 0 || relaunches_ > 0) {
            const auto now = Clock::now();
            if (now >= run_deadline_) {
                for (Ap& ap : aps_) {
                    ap.again = false;
                    ap.exchange.fail(Failure::TIMEOUT, "run time-out");
                }
            }
            if (until && now >= *until) {
                for (Ap& ap : aps_) {
                    ap.again = false;
                }
            }
            expire(now);
            watch_cpu(now);
            wait_events(round_.sampling || round_.open_at ? 5 : 50);
            for (size_t i = 0; i < aps_.size(); ++i) {
                if (aps_[i].exchange.failure() != Failure::NONE && pending_[i]) {
                    settle(i);
                }
            }
            // Outside the event handling, so that a connection failing at once
            // comes back once per turn and never recursively.
            for (size_t i = 0; i < aps_.size() && relaunches_ > 0; ++i) {
                if (relaunch_[i]) {
                    relaunch_[i] = false;
                    --relaunches_;
                    if (aps_[i].again) {
                        launch(i);
                    }
                }
            }
        }
        if (round_.sampling) {
            close_cpu_window();
        }
    }

    void launch(size_t i) {
        Ap& ap = aps_[i];
        const std::string& request = preparing_ ? ap.prepare_request : ap.request;
        pending_[i] = true;
        ++active_;
        ++result_.connections;
        if (!ap.exchange.start(ctx_, ap.source, server_,
                               ap.credentials ? &*ap.credentials : nullptr, request,
                               Clock::now())) {
            settle(i);
            return;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP;
        event.data.u64 = i;
        epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, ap.exchange.fd(), &event);
    }

    void wait_events(int timeout_ms) {
        epoll_event events[256];
        const int n = epoll_wait(epoll_.get(), events, 256, timeout_ms);
        for (int k = 0; k < n; ++k) {
            const size_t i = events[k].data.u64;
            if (i >= aps_.size() || !pending_[i]) {
                continue;
            }
            TlsExchange& exchange = aps_[i].exchange;
            const bool done = exchange.drive() == TlsExchange::Progress::DONE;
            note_round(exchange);
            if (done) {
                settle(i);
            }
        }
    }

    void expire(Clock::time_point now) {
        const auto limit = std::chrono::milliseconds(opts_.request_timeout_ms);
        for (Ap& ap : aps_) {
            if (ap.exchange.active() && now - ap.exchange.started() > limit) {
                ap.exchange.fail(Failure::TIMEOUT, "no whole answer in time");
            }
        }
    }

    void note_round(const TlsExchange& exchange) {
        if (exchange.answered() || !exchange.active()) {
            if (!round_.answered && round_.sampling) {
                close_cpu_window();
            }
            round_.answered = true;
        }
    }

    // The window opens once every AP of the round has sent its request and
    // closes at the first answer.
    void watch_cpu(Clock::time_point now) {
        if (opts_.cpu_pid == 0 || preparing_ || opts_.rounds == 0 || round_.answered) {
            return;
        }
        if (!round_.open_at) {
            const bool all_sent = std::all_of(aps_.begin(), aps_.end(),
                                              [](const Ap& ap) { return ap.exchange.sent(); });
            if (all_sent) {
                round_.open_at = now + std::chrono::milliseconds(opts_.cpu_settle_ms);
            }
            return;
        }
        if (!round_.sampling && now >= *round_.open_at) {
            if (const auto sample = sample_cpu(opts_.cpu_pid)) {
                round_.start_sample = *sample;
                round_.started = Clock::now();
                round_.sampling = true;
            }
        }
    }

    void close_cpu_window() {
        round_.sampling = false;
        const auto sample = sample_cpu(opts_.cpu_pid);
        if (!sample) {
            return;
        }
        CpuWindow& cpu = result_.cpu ? *result_.cpu : result_.cpu.emplace();
        cpu.wall_s += seconds(Clock::now() - round_.started);
        cpu.run_s += static_cast<double>(sample->run_ns - round_.start_sample.run_ns) / 1e9;
        cpu.ticks += sample->ticks - round_.start_sample.ticks;
        ++cpu.windows;
    }

    void settle(size_t i) {
        Ap& ap = aps_[i];
        TlsExchange& exchange = ap.exchange;
        pending_[i] = false;
        --active_;
        exchange.close();
        record(exchange);
        if (ap.again && Clock::now() < run_deadline_) {
            relaunch_[i] = true;
            ++relaunches_;
        }
    }

    void record(const TlsExchange& exchange) {
        Failure failure = exchange.failure();
        std::string detail = exchange.detail();
        const HttpResponse& response = exchange.response();
        if (failure == Failure::NONE && response.status() != opts_.expect_status) {
            failure = Failure::STATUS;
            detail = "status " + std::to_string(response.status()) + ": " +
                     response.body_start().substr(0, 200);
        } else if (failure == Failure::NONE && !opts_.expect_text.empty() &&
                   response.body_start().find(opts_.expect_text) == std::string::npos) {
            failure = Failure::BODY;
            detail = "unexpected answer: " + response.body_start().substr(0, 200);
        }
        if (preparing_) {
            ++(failure == Failure::NONE ? result_.prepared : result_.prepare_failures);
            if (failure != Failure::NONE && result_.first_failure.empty()) {
                result_.first_failure = std::string("prepare: ") + detail;
            }
            return;
        }
        if (response.head_done()) {
            ++result_.statuses[response.status()];
        }
        if (failure != Failure::NONE) {
            ++result_.failures[failure_name(failure)];
            if (result_.first_failure.empty()) {
                result_.first_failure = detail;
            }
            return;
        }
        result_.body_bytes += response.body_bytes();
        if (result_.sample_answer.empty()) {
            result_.sample_answer = response.body_start().substr(0, 200);
        }
        last_done_ = std::max(last_done_, exchange.finished());
        result_.latencies_ms.push_back(
            std::chrono::duration<double, std::milli>(exchange.finished() - exchange.started())
                .count());
    }

    struct Round {
        std::optional<Clock::time_point> open_at;
        bool sampling = false;
        bool answered = false;
        CpuSample start_sample;
        Clock::time_point started;
    };

    const LoadOptions& opts_;
    SSL_CTX* ctx_;
    std::vector<Ap>& aps_;
    sockaddr_in server_;
    LoadResult& result_;
    UniqueFd epoll_;
    std::vector<bool> pending_;
    std::vector<bool> relaunch_;
    size_t active_ = 0;
    size_t relaunches_ = 0;
    bool preparing_ = false;
    Round round_;
    Clock::time_point run_deadline_;
    Clock::time_point last_done_;
};

}  // namespace

std::string http_request(const std::string& method, const std::string& path,
                         const std::string& host, int port, const std::string& body) {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: " + host + ":" +
                          std::to_string(port) + "\r\nUser-Agent: dor-tls-load\r\nAccept: */*\r\n";
    if (method == "POST") {
        request +=
            "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + body;
    } else {
        request += "\r\n";
    }
    return request;
}

std::optional<LoadResult> run_load(const LoadOptions& opts, std::string* error) {
    std::signal(SIGPIPE, SIG_IGN);
    LoadResult result;
    SslCtxPtr ctx = client_context(opts, &result.tickets, error);
    if (!ctx) {
        return std::nullopt;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(opts.port));
    if (inet_pton(AF_INET, opts.host.c_str(), &server.sin_addr) != 1) {
        *error = "bad --host " + opts.host;
        return std::nullopt;
    }
    std::vector<Ap> aps(static_cast<size_t>(opts.clients));
    for (int i = 0; i < opts.clients; ++i) {
        Ap& ap = aps[static_cast<size_t>(i)];
        ap.source = *nth_loopback_address(opts.addr_base, i);
        ap.mac = nth_mac(opts.mac_base, i);
        const std::string body = ap_request_body(ap.mac, opts.body);
        ap.request = http_request(opts.method, opts.path, opts.host, opts.port,
                                  opts.method == "POST" ? body : "");
        if (!opts.prepare_path.empty()) {
            ap.prepare_request =
                http_request("POST", opts.prepare_path, opts.host, opts.port, body);
        }
        if (!opts.cert_dir.empty()) {
            ap.credentials = load_credentials(opts.cert_dir, ap.mac, error);
            if (!ap.credentials) {
                return std::nullopt;
            }
        }
    }
    Runner runner(opts, ctx.get(), aps, server, result);
    if (!runner.ok()) {
        *error = "epoll_create1 failed";
        return std::nullopt;
    }
    if (!opts.prepare_path.empty()) {
        runner.prepare();
    }
    const uint64_t prepare_tickets = result.tickets;
    const uint64_t prepare_connections = result.connections;
    runner.measure();
    result.tickets -= prepare_tickets;
    result.connections -= prepare_connections;
    return result;
}
