// The status view and the counters after a scripted set of AP journeys on the
// real endpoints: every sample is compared with what the journeys caused, and
// the exposition text dorctl prints is read back under the format's rules.

#include <gtest/gtest.h>
#include <jansson.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "app/dispatcher.h"
#include "app/service_settings.h"
#include "app/status.h"
#include "controller/cert_auth.h"
#include "dialogue/ap_data.h"
#include "https/counters.h"
#include "libs/board/board_types.h"
#include "platform/metrics.h"
#include "tests/https/https_bed.h"
#include "tools/common/json.h"
#include "tools/dorctl/views.h"

namespace {

using namespace std::chrono_literals;

// Sample text as written before its value, e.g. `a_total{k="v"}`, to its value.
using Samples = std::map<std::string, double>;

// Reads the text exposition format, failing the test on any broken rule: names
// and label syntax, escapes, one HELP and TYPE per family ahead of its samples,
// families not interleaved, counters ending in _total, no sample twice,
// histogram buckets cumulative up to +Inf with _count equal to it, "# EOF" last.
Samples parse_exposition(const std::string& text) {
    static const std::regex kHelp(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*))");
    static const std::regex kType(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram))");
    static const std::regex kSample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")(,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")*\})? ([-+]?(?:[0-9.eE+-]+|Inf)|NaN))");
    Samples samples;
    std::set<std::string> families, helped;
    std::string family, type;
    // Per histogram series (labels without le): last bucket count and whether +Inf came.
    std::map<std::string, std::pair<double, bool>> buckets;
    EXPECT_TRUE(text.ends_with("\n# EOF\n")) << "no final # EOF line";
    size_t start = 0;
    bool eof = false;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        SCOPED_TRACE(line);
        EXPECT_FALSE(eof) << "line after # EOF";
        std::smatch m;
        if (line == "# EOF") {
            eof = true;
        } else if (std::regex_match(line, m, kHelp)) {
            EXPECT_TRUE(helped.insert(m[1]).second) << "second HELP";
        } else if (std::regex_match(line, m, kType)) {
            family = m[1];
            type = m[2];
            EXPECT_TRUE(families.insert(family).second) << "second TYPE";
            EXPECT_TRUE(helped.contains(family)) << "TYPE before HELP";
            EXPECT_TRUE(type != "counter" || family.ends_with("_total"));
        } else if (std::regex_match(line, m, kSample)) {
            const std::string name = m[1];
            const std::string key = line.substr(0, line.rfind(' '));
            const double value = std::strtod(m[5].str().c_str(), nullptr);
            EXPECT_TRUE(samples.emplace(key, value).second) << "sample twice";
            if (type != "histogram") {
                EXPECT_EQ(name, family) << "sample outside its family";
                continue;
            }
            const std::string labels = m[2];
            static const std::regex kLe(R"(,?le="[^"]*")");
            const bool has_le = labels.find("le=\"") != std::string::npos;
            const std::string series = std::regex_replace(labels, kLe, "");
            auto& [last, infinite] = buckets[family + series];
            if (name == family + "_bucket") {
                EXPECT_TRUE(has_le);
                EXPECT_FALSE(infinite) << "bucket after +Inf";
                EXPECT_GE(value, last) << "buckets not cumulative";
                last = value;
                infinite = labels.find("le=\"+Inf\"") != std::string::npos;
            } else if (name == family + "_count") {
                EXPECT_TRUE(infinite) << "no +Inf bucket";
                EXPECT_EQ(value, last) << "_count differs from the +Inf bucket";
            } else {
                EXPECT_EQ(name, family + "_sum") << "sample outside its family";
            }
        } else {
            ADD_FAILURE() << "not a line of the format";
        }
    }
    return samples;
}

TEST(Exposition, LabelValuesAndHelpTextsAreEscaped) {
    const std::string odd = "a \"quoted\" back\\slash and\nline";
    const std::vector<exposition::Family> families = {
        {"x_total", "counter", "help with \\ and\nline", {{"x_total", {{"text", odd}}, 3}}},
        {"y", "gauge", "plain", {{"y", {}, 0.25}}},
    };
    const Samples samples = parse_exposition(exposition::to_text(families));
    EXPECT_EQ(samples,
              (Samples{{R"(x_total{text="a \"quoted\" back\\slash and\nline"})", 3}, {"y", 0.25}}));
    // dorctl's path: the reply JSON read back gives the same text.
    EXPECT_EQ(dorctl::metrics_text(exposition::to_json(families)), exposition::to_text(families));
}

// Replies are told apart by their code, whatever a password or file name
// holds and whether a blank follows the colon.
TEST(Metrics, RepliesCountedByTheirOwnCode) {
    const std::pair<std::string, MetricReply> cases[] = {
        {R"({"system":{"password":"p\"code\":4025"},"code":1,"dor-version":"2.0"})",
         MetricReply::CREDENTIALS},
        {R"({"code":4025,"msg":"\"code\":4027.bin","fw-check-crt":true})", MetricReply::UPGRADE},
        {R"({"code": 4026,"error-description":"unknown board type"})", MetricReply::UNAVAILABLE},
        {kNoted, MetricReply::NOTED},
        {R"({"code":9})", MetricReply::OTHER},
    };
    for (const auto& [body, reply] : cases) {
        SCOPED_TRACE(body);
        metrics().reset();
        metrics_ok_reply(body);
        for (size_t r = 0; r < count_of<MetricReply>(); ++r) {
            EXPECT_EQ(metrics().replies[r], r == static_cast<size_t>(reply) ? 1u : 0u) << r;
        }
    }
}

std::string key(const std::string& name, const std::string& labels = "") {
    return labels.empty() ? name : name + "{" + labels + "}";
}

JsonPtr parse_json(const std::string& text) {
    JsonPtr json(json_loads(text.c_str(), 0, nullptr));
    EXPECT_TRUE(json_is_object(json.get())) << text;
    return json;
}

// The value at `path`, e.g. {"limits", "connections", "in-use"}.
json_t* at(json_t* root, const std::vector<const char*>& path) {
    for (const char* step : path)
        root = json_object_get(root, step);
    return root;
}

// Each number of the status at its path.
void expect_numbers(const std::string& status,
                    const std::vector<std::pair<std::vector<const char*>, int>>& numbers) {
    const JsonPtr json = parse_json(status);
    for (const auto& [path, number] : numbers) {
        EXPECT_TRUE(json_is_number(at(json.get(), path))) << path.back();
        EXPECT_EQ(json_number_value(at(json.get(), path)), number) << path.back();
    }
}

struct MetricsBed : HttpsBed {
    MetricsBed() {
        config.set_fw_dir(dir.path());
        EXPECT_TRUE(dorbt_write_firmware_image(dir.path() + "/image.bin", "dor-ap110",
                                               FwVersionInfo{1, 2, 3, 4}, 300000));
        EXPECT_TRUE(dorbt_write_firmware_image(dir.path() + "/big.bin", "dor-ap110",
                                               FwVersionInfo{1, 2, 3, 4}, 8u << 20));
        start_servers();
        metrics().reset();
    }
    // The controller's message, through the service's dispatcher.
    void answer(const IMsg& msg) {
        from_controller([this, &msg] {
            EXPECT_EQ(dispatch_ipc_message(msg, ipc.port, &tracked), DISPATCH_HANDLED);
        });
        ++controller_frames;
        turn();
    }
    HttpAnswer post(const Endpoint& side, const ClientOptions& client, const std::string& request) {
        return serve_while(
            [&, port = endpoint_port(*this, side)] { return exchange(client, port, request); });
    }
    std::string status() { return status_json(Servers{g_free_server, g_auth_server}); }

    TempDir dir;
    int controller_frames = 0;
};

std::shared_ptr<IPC_MSG__FW_AP_CHECK_RESULT> check_result(const std::string& mac, uint32_t result,
                                                          const std::string& file = "") {
    auto msg = std::make_shared<IPC_MSG__FW_AP_CHECK_RESULT>();
    msg->mac = make_shared_string(mac);
    msg->mode = 2;
    msg->fw_result = result;
    msg->fw_file = make_shared_string(file);
    msg->check_crt = 1;
    return msg;
}

TEST(Metrics, EveryCounterIsWhatTheJourneysCaused) {
    MetricsBed bed;
    const Endpoint& authorized = kEndpoints[0];
    const Endpoint& free = kEndpoints[1];
    Samples expected;

    // Client certificates on the authorized endpoint, each from its own address.
    struct Certificate {
        std::string path;     // empty: none
        const char* refusal;  // null: accepted
        int max_version = 0;  // TLS 1.2 refuses with other alerts than 1.3
    };
    const Certificate certificates[] = {
        {test_pki().path("ap1"), nullptr},
        {test_pki().path("other-ca-ap"), "chain"},
        {test_pki().path("rogue"), "chain"},
        {test_pki().path("zero-serial"), "subject"},
        {test_pki().path("two-names"), "subject"},
        {test_pki().path("differs"), "differs"},
        {test_pki().path("unstored"), "not_stored"},
        {test_pki().path("garbled"), "not_stored"},
        {test_pki().path("expired-ap"), "expired"},
        {"", "no_certificate"},
        {"", "no_certificate", TLS1_2_VERSION},
        {test_pki().path("two-names"), "subject", TLS1_2_VERSION},
        {test_pki().path("rogue"), "chain", TLS1_2_VERSION},
    };
    int host = 10;
    for (const auto& [cert, refusal, max_version] : certificates) {
        SCOPED_TRACE(cert);
        const std::string ip = "127.0.12." + std::to_string(++host);
        ClientOptions client =
            client_at(ip, cert.empty() ? "" : cert + ".pem", cert.empty() ? "" : cert + ".key");
        client.max_version = max_version;
        const HttpAnswer answer = bed.post(authorized, client, ott_post("/report/ap", kJson, "{}"));
        EXPECT_EQ(answer.status, refusal == nullptr ? 200 : 0);
        expected[key("dor_tls_handshakes_refused_total",
                     "reason=\"" + std::string(refusal ? refusal : "") + "\"")] += 1;
    }
    expected.erase(R"(dor_tls_handshakes_refused_total{reason=""})");
    expected["dor_tls_handshakes_accepted_total"] = 1;
    expected[R"(dor_https_requests_total{endpoint="authorized",path="/report/ap"})"] = 1;
    expected[R"(dor_https_replies_total{code="noted"})"] = 1;

    // Requests the free endpoint answers itself.
    const std::pair<std::string, std::string> own_answers[] = {
        {ott_post("/report/ap", kJson, "{}"), ""},
        {ott_post("/ready/ap", "text/plain", "{}"), "ap not tracked: invalid content-type"},
        {ott_post("/register/ap", kJson, "{not json"), "client json parsing error"},
        {ott_post("/other", kJson, "{}"), "client json parsing error"},
    };
    for (const auto& [request, error] : own_answers) {
        bed.post(free, client_at("127.0.13." + std::to_string(++host)), request);
        expected[key("dor_https_error_replies_total", "text=\"" + error + "\"")] += 1;
    }
    expected[R"(dor_https_replies_total{code="noted"})"] += 1;
    expected.erase(R"(dor_https_error_replies_total{text=""})");
    for (const char* path : {"/report/ap", "/ready/ap", "/register/ap", "other"}) {
        expected[key("dor_https_requests_total",
                     std::string(R"(endpoint="free",path=")") + path + "\"")] = 1;
    }

    // Two checks answered by the controller, one after 30 ms at least; an
    // answer for a MAC never asked about is not timed.
    const std::string waiting_ip = "127.0.14.1", upgrade_ip = "127.0.14.2";
    auto waiting = post_held(bed, free, waiting_ip,
                             ott_post("/register/ap", kJson, ap_body("02:00:00:00:14:01")));
    std::this_thread::sleep_for(30ms);
    bed.answer(*check_result("02:00:00:00:14:01", FW_CURRENT));
    EXPECT_EQ(bed.await(waiting).body.find(R"("code":4028)") != std::string::npos, true);
    auto upgrade = post_held(bed, free, upgrade_ip,
                             ott_post("/register/ap", kJson, ap_body("02:00:00:00:14:02")));
    bed.answer(*check_result("02:00:00:00:14:02", FW_UPGRADE, "image.bin"));
    EXPECT_NE(bed.await(upgrade).body.find(R"("code":4025)"), std::string::npos);
    bed.answer(*check_result("02:00:00:00:14:99", FW_CURRENT));
    expected[R"(dor_https_requests_total{endpoint="free",path="/register/ap"})"] += 2;
    expected[R"(dor_https_replies_total{code="4028"})"] = 1;
    expected[R"(dor_https_replies_total{code="4025"})"] = 1;
    // The other two exchanges, asked the way the service asks them.
    send_get_credentials(MacAddr::from_str("02:00:00:00:14:03"), "t", "1", "127.0.14.3");
    IPC_MSG__SA_CREDENTIALS credentials;
    credentials.mac = make_shared_string("02:00:00:00:14:03");
    bed.answer(credentials);
    send_cert_auth_ap("127.0.14.4", MacAddr::from_str("02:00:00:00:14:04"));
    IPC_MSG__SA_CERT_AUTH_AP_RESULT certificate;
    certificate.mac = make_shared_string("02:00:00:00:14:04");
    bed.answer(certificate);

    // A complete download and one given up, then one refused at the limit.
    const HttpAnswer image = bed.serve_while([&, port = bed.free_port()] {
        return exchange(client_at(upgrade_ip), port, http_get("/fw/image.bin"));
    });
    EXPECT_EQ(image.status, 200);
    bed.serve_while([&, port = bed.free_port()] {
        TlsClient quitter(client_at(upgrade_ip));
        quitter.receive_buffer = 4096;
        quitter.connect(port);
        quitter.send(http_get("/fw/big.bin"));
        std::this_thread::sleep_for(100ms);
        return 0;
    });
    ASSERT_TRUE(bed.run_until([] { return https_counters().fw_download_sessions == 0; }));
    // The fifty downloads themselves are the download tests' business.
    https_counters().fw_download_sessions = kMaxFwDownloads;
    EXPECT_NE(bed.serve_while([&, port = bed.free_port()] {
                     return exchange(client_at(upgrade_ip), port, http_get("/fw/image.bin"));
                 })
                  .status,
              200);
    https_counters().fw_download_sessions = 0;
    expected["dor_fw_downloads_started_total"] = 2;
    expected["dor_fw_downloads_completed_total"] = 1;
    expected["dor_fw_downloads_failed_total"] = 1;
    expected["dor_fw_download_bytes_total"] =
        static_cast<double>(std::filesystem::file_size(bed.dir.path() + "/image.bin"));
    expected[R"(dor_limit_refusals_total{limit="downloads"})"] = 1;

    // The connection limit of the authorized endpoint and the bound requests of
    // the free one reached; the status shows both in use. An AP beyond them
    // waits unrefused (the endpoint tests).
    {
        const std::string request = ott_post("/register/ap", kJson, ap_body("02:00:00:00:16:00"));
        auto connections = bed.serve_while([port = bed.auth_port()] {
            return hold_clients(port, kMaxAuthConnections, "127.0.15");
        });
        auto requests = bed.serve_while([&, port = bed.free_port()] {
            return hold_clients(port, kMaxFreeRequests, "127.0.16", request);
        });
        ASSERT_TRUE(bed.run_until([] {
            return https_counters().auth_connections == kMaxAuthConnections &&
                   https_counters().free_request_sessions == kMaxFreeRequests;
        }));
        bed.turn();
        // The held APs, and the one answered 4028 above, wait for admission;
        // the held ones all name one MAC, so one answer is awaited for them.
        expect_numbers(bed.status(), {{{"limits", "connections", "in-use"}, kMaxAuthConnections},
                                      {{"limits", "connections", "max"}, kMaxAuthConnections},
                                      {{"limits", "bound-requests", "in-use"}, kMaxFreeRequests},
                                      {{"aps", "unauthed", "registering"}, kMaxFreeRequests + 1},
                                      {{"answers-waiting", "136_137"}, 1},
                                      {{"answers-waiting", "total"}, 1}});
        expected[R"(dor_https_requests_total{endpoint="free",path="/register/ap"})"] +=
            kMaxFreeRequests;
    }
    ASSERT_TRUE(bed.run_until([] { return https_counters().free_request_sessions == 0; }));

    // What the journeys sent over IPC, as the controller's side received it.
    bed.turn();
    for (const auto& event : bed.sent_as<IPC_MSG__SA_AP_EVENT>()) {
        expected[key(
            "dor_ap_events_total",
            "code=\"" + (event->code < 6 ? std::to_string(event->code) : "other") + "\"")] += 1;
    }
    expected[R"(dor_ipc_frames_total{direction="in"})"] = 1 + bed.controller_frames;  // + subscribe
    expected[R"(dor_ipc_frames_total{direction="out"})"] = static_cast<double>(bed.sent.size());

    Samples samples = parse_exposition(dorctl::metrics_text(metrics_json(&bed.ipc.port)).value());
    // Answer times: one sample each for 3->2 and 140->141, two for 136->137,
    // one of them 30 ms or more.
    const std::pair<const char*, double> answered[] = {{"136_137", 2}, {"3_2", 1}, {"140_141", 1}};
    for (const auto& [exchange, count] : answered) {
        const std::string series = "exchange=\"" + std::string(exchange) + "\"";
        EXPECT_EQ(samples[key("dor_controller_answer_seconds_count", series)], count) << exchange;
        EXPECT_EQ(samples[key("dor_controller_answer_seconds_bucket", series + ",le=\"+Inf\"")],
                  count);
    }
    EXPECT_EQ(samples[R"(dor_controller_answer_seconds_bucket{exchange="136_137",le="0.025"})"], 1);
    EXPECT_GE(samples[R"(dor_controller_answer_seconds_sum{exchange="136_137"})"], 0.03);
    EXPECT_NEAR(samples["dor_start_time_seconds"], static_cast<double>(time(nullptr)), 120);
    std::erase_if(samples, [](const auto& sample) {
        return sample.first.starts_with("dor_controller_answer_seconds") ||
               sample.first == "dor_start_time_seconds";
    });
    for (const auto& [name, value] : expected) {
        EXPECT_TRUE(samples.contains(name)) << "no sample " << name;
    }
    for (const auto& [name, value] : samples) {
        const auto want = expected.find(name);
        EXPECT_EQ(value, want != expected.end() ? want->second : 0) << name;
    }
}

TEST(Status, SettingsEndpointsAndApsAsInForce) {
    MetricsBed bed;
    bed.config.auto_auth = true;
    bed.config.set_tls_files(TlsFiles{"/x/ca.pem", "/x/cert.pem", "/x/key.pem", "/x/aps"});
    const std::string waiting_ip = "127.0.17.1";
    const HttpAnswer answer = bed.post(kEndpoints[1], client_at(waiting_ip),
                                       ott_post("/wait/ap", kJson, ap_body("02:00:00:00:17:01")));
    EXPECT_EQ(answer.body, kNoted);
    const JsonPtr status = parse_json(bed.status());
    json_t* root = status.get();
    const std::pair<std::vector<const char*>, std::string> texts[] = {
        {{"version"}, dor_version()},
        {{"endpoints", "free", "state"}, "running"},
        {{"endpoints", "authorized", "state"}, "running"},
        {{"settings", "tls", "key-file"}, "/x/key.pem"},
        {{"settings", "tls", "cert-file"}, "/x/cert.pem"},
        {{"settings", "fw-dir"}, bed.dir.path()},
        {{"settings", "incoming-connections", "name"}, "accept"},
    };
    for (const auto& [path, text] : texts) {
        const char* value = json_string_value(at(root, path));
        EXPECT_EQ(value ? value : "(none)", text) << path.back();
    }
    EXPECT_TRUE(std::regex_match(json_string_value(at(root, {"start-time"})),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    EXPECT_TRUE(json_is_true(at(root, {"settings", "auto-authentication"})));
    // Authenticated at once, the AP waits for its certificate.
    expect_numbers(bed.status(), {{{"endpoints", "free", "port"}, bed.free_port()},
                                  {{"endpoints", "authorized", "port"}, bed.auth_port()},
                                  {{"aps", "unauthed", "joining-auto"}, 1},
                                  {{"aps", "unauthed", "total"}, 1},
                                  {{"answers-waiting", "140_141"}, 1},
                                  {{"answers-waiting", "total"}, 1},
                                  {{"aps", "tracked", "total"}, 0}});
    // The readable summary carries the same facts.
    const std::string summary = dorctl::status_summary(bed.status()).value();
    EXPECT_NE(summary.find("free running on " + std::to_string(bed.free_port())), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("APs unauthed: 1 (joining-auto 1)"), std::string::npos) << summary;
}

}  // namespace
