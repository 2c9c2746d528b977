#include "tools/ap-sim/http_pool.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>

namespace {

struct EasyRelease {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListRelease {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct FileClose {
    void operator()(FILE* file) const { std::fclose(file); }
};

// A small receive window keeps the server from pushing a whole image into
// socket buffers before a cut-off download breaks.
constexpr int kCutOffReceiveBuffer = 16 * 1024;
constexpr uint64_t kCutOffMax = 64 * 1024;

int small_receive_buffer(void*, curl_socket_t fd, curlsocktype) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kCutOffReceiveBuffer, sizeof kCutOffReceiveBuffer);
    return CURL_SOCKOPT_OK;
}

bool is_tls_failure(CURLcode code) {
    switch (code) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_PEER_FAILED_VERIFICATION:
        // A refused client certificate shows at the first read under TLS 1.3.
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
            return true;
        default:
            return false;
    }
}

// What the server sent at the TLS level tells a refusal before any TLS work
// (a limit) from a refused certificate (an alert).
void watch_tls(int write_p, int, int content_type, const void* buf, size_t len, SSL*, void* arg) {
    if (write_p != 0) {
        return;
    }
    auto* result = static_cast<HttpResult*>(arg);
    if (content_type == SSL3_RT_HANDSHAKE) {
        result->server_handshake = true;
    } else if (content_type == SSL3_RT_ALERT && len >= 2 &&
               static_cast<const unsigned char*>(buf)[0] == SSL3_AL_FATAL) {
        result->tls_alert = true;
    }
}

CURLcode on_ssl_context(CURL*, void* ssl_ctx, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
    SSL_CTX_set_msg_callback(ctx, watch_tls);
    SSL_CTX_set_msg_callback_arg(ctx, user);
    return CURLE_OK;
}

// libcurl wants its global set-up once per process.
struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~CurlGlobal() { curl_global_cleanup(); }
};

}  // namespace

struct HttpPool::Transfer {
    uint64_t token = 0;
    std::unique_ptr<CURL, EasyRelease> easy;
    std::unique_ptr<curl_slist, ListRelease> headers;
    std::unique_ptr<curl_slist, ListRelease> resolve;
    std::unique_ptr<FILE, FileClose> file;
    std::string body;  // the request's, kept alive for libcurl
    bool cut_off = false;
    HttpResult result;
    char error[CURL_ERROR_SIZE] = {};

    // Halfway, but early enough that the server cannot have queued the rest.
    uint64_t cut_off_point() const {
        curl_off_t length = -1;
        curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        return length > 0 ? std::min<uint64_t>(kCutOffMax, static_cast<uint64_t>(length) / 2) : 1;
    }

    static size_t on_data(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<Transfer*>(user);
        const size_t bytes = size * count;
        self->result.bytes += bytes;
        if (self->cut_off && self->result.bytes >= self->cut_off_point()) {
            self->result.cut_off = true;
            return 0;  // libcurl ends the transfer with a write error
        }
        if (self->file) {
            return std::fwrite(data, 1, bytes, self->file.get());
        }
        self->result.body.append(data, bytes);
        return bytes;
    }
};

HttpPool::HttpPool() {
    static CurlGlobal global;
    multi_ = curl_multi_init();
}

HttpPool::~HttpPool() {
    for (auto& transfer : transfers_) {
        curl_multi_remove_handle(static_cast<CURLM*>(multi_), transfer->easy.get());
    }
    transfers_.clear();
    if (multi_ != nullptr) {
        curl_multi_cleanup(static_cast<CURLM*>(multi_));
    }
}

bool HttpPool::start(uint64_t token, const HttpRequest& request) {
    auto transfer = std::make_unique<Transfer>();
    transfer->token = token;
    transfer->easy.reset(curl_easy_init());
    if (!transfer->easy) {
        return false;
    }
    if (!request.download_to.empty()) {
        transfer->file.reset(std::fopen(request.download_to.c_str(), "wbe"));
        if (!transfer->file) {
            return false;
        }
    }
    transfer->body = request.body;
    transfer->cut_off = request.cut_off;
    CURL* easy = transfer->easy.get();
    const std::string interface = "host!" + request.source;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_INTERFACE, interface.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, request.timeout_ms);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->error);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::on_data);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &on_ssl_context);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &transfer->result);
    if (!request.server_ca.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, request.server_ca.c_str());
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    } else {
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    if (!request.resolve.empty()) {
        transfer->resolve.reset(curl_slist_append(nullptr, request.resolve.c_str()));
        curl_easy_setopt(easy, CURLOPT_RESOLVE, transfer->resolve.get());
    }
    if (!request.client_cert.empty()) {
        curl_easy_setopt(easy, CURLOPT_SSLCERT, request.client_cert.c_str());
        curl_easy_setopt(easy, CURLOPT_SSLKEY, request.client_key.c_str());
    }
    if (request.cut_off) {
        curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &small_receive_buffer);
    }
    if (!request.body.empty()) {
        curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/json");
        transfer->headers.reset(list);
        if (list != nullptr) {
            curl_slist_append(list, "Expect:");  // appends in place to the list's head
        }
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers.get());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->body.c_str());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(transfer->body.size()));
    }
    if (curl_multi_add_handle(static_cast<CURLM*>(multi_), easy) != CURLM_OK) {
        return false;
    }
    transfers_.push_back(std::move(transfer));
    return true;
}

std::vector<std::pair<uint64_t, HttpResult>> HttpPool::run(int wait_ms) {
    auto* multi = static_cast<CURLM*>(multi_);
    int running = 0;
    curl_multi_perform(multi, &running);
    std::vector<std::pair<uint64_t, HttpResult>> done;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE) {
            continue;
        }
        Transfer* transfer = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &transfer);
        HttpResult& result = transfer->result;
        result.curl_code = msg->data.result;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_RESPONSE_CODE, &result.status);
        curl_off_t length = -1;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (length >= 0) {
            result.content_length = static_cast<uint64_t>(length);
        }
        if (msg->data.result != CURLE_OK) {
            result.error =
                transfer->error[0] != '\0' ? transfer->error : curl_easy_strerror(msg->data.result);
            result.tls_failure = is_tls_failure(msg->data.result);
            if (!result.cut_off) {
                result.status = 0;  // half an answer is no answer
            }
        }
        curl_multi_remove_handle(multi, msg->easy_handle);
        done.emplace_back(transfer->token, std::move(result));
        std::erase_if(transfers_, [transfer](const auto& t) { return t.get() == transfer; });
    }
    if (done.empty() && wait_ms > 0) {
        curl_multi_poll(multi, nullptr, 0, wait_ms, nullptr);
    }
    return done;
}
