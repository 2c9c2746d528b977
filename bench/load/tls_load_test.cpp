#include <gtest/gtest.h>
#include <jansson.h>

#include <algorithm>
#include <memory>
#include <random>

#include "bench/load/ap_identity.h"
#include "bench/load/http_response.h"
#include "bench/load/latency_stats.h"
#include "bench/load/load_options.h"
#include "bench/load/load_run.h"
#include "bench/load/proc_cpu.h"

namespace {

struct ResponseCase {
    const char* name;
    std::vector<std::string> chunks;
    bool end_of_stream;
    bool usable;
    bool complete;
    int status;
    uint64_t body_bytes;
};

TEST(HttpResponse, ReadsAnswersAsTheyArrive) {
    const std::string json = R"({"code":4027,"dor-version":"2.0"})";
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
    const std::vector<ResponseCase> cases = {
        {"whole answer at once",
         {head + "content-length: 33\r\n\r\n" + json},
         false,
         true,
         true,
         200,
         33},
        {"end of head split between chunks",
         {head + "Content-Length: 33\r\n\r", "\n" + json},
         false,
         true,
         true,
         200,
         33},
        {"body still short of its length",
         {head + "Content-Length: 40\r\n\r\n" + json},
         true,
         true,
         false,
         200,
         33},
        {"no length: ends with the stream",
         {"HTTP/1.1 400 Bad\r\n\r\n", "abc", "de"},
         true,
         true,
         true,
         400,
         5},
        {"no length, stream still open",
         {"HTTP/1.1 200 OK\r\n\r\nabc"},
         false,
         true,
         false,
         200,
         3},
        {"not HTTP", {"SSH-2.0-x\r\n\r\n"}, false, false, false, 0, 0},
        {"status not a number", {"HTTP/1.1 2x0 OK\r\n\r\n"}, false, false, false, 0, 0},
        {"header without colon",
         {"HTTP/1.1 200 OK\r\nbroken\r\n\r\n"},
         false,
         false,
         false,
         200,
         0},
        {"length not a number",
         {"HTTP/1.1 200 OK\r\nContent-Length: 1e3\r\n\r\n"},
         false,
         false,
         false,
         200,
         0},
    };
    for (const auto& c : cases) {
        HttpResponse response;
        bool usable = true;
        for (const auto& chunk : c.chunks) {
            usable = response.feed(chunk) && usable;
        }
        if (c.end_of_stream) {
            response.on_end_of_stream();
        }
        EXPECT_EQ(usable, c.usable) << c.name;
        EXPECT_EQ(response.complete(), c.complete) << c.name;
        EXPECT_EQ(response.status(), c.status) << c.name;
        EXPECT_EQ(response.body_bytes(), c.body_bytes) << c.name;
    }
}

TEST(HttpResponse, KeepsOnlyTheStartOfALargeBody) {
    HttpResponse response;
    const size_t size = 3 * HttpResponse::kKeptBody + 17;
    ASSERT_TRUE(
        response.feed("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n"));
    std::string chunk(1000, 'x');
    for (size_t sent = 0; sent < size; sent += chunk.size()) {
        chunk.resize(std::min(chunk.size(), size - sent));
        ASSERT_TRUE(response.feed(chunk));
    }
    EXPECT_TRUE(response.complete());
    EXPECT_EQ(response.body_bytes(), size);
    EXPECT_EQ(response.body_start(), std::string(HttpResponse::kKeptBody, 'x'));
}

TEST(HttpResponse, RefusesAnEndlessHead) {
    HttpResponse response;
    const std::string line = "X-Filler: " + std::string(100, 'a') + "\r\n";
    bool usable = response.feed("HTTP/1.1 200 OK\r\n");
    for (size_t sent = 0; sent <= HttpResponse::kMaxHead && usable; sent += line.size()) {
        usable = response.feed(line);
    }
    EXPECT_FALSE(usable);
}

TEST(LatencyStats, NearestRankOfTheTextbookExample) {
    // Five samples 15, 20, 35, 40, 50: the 30th and 40th percentiles are 20,
    // the 50th is 35, the 100th is 50.
    const std::vector<double> sorted = {15, 20, 35, 40, 50};
    const std::vector<std::pair<double, double>> cases = {
        {5, 15}, {30, 20}, {40, 20}, {50, 35}, {100, 50}};
    for (const auto& [p, expected] : cases) {
        EXPECT_EQ(nearest_rank(sorted, p), expected) << "p" << p;
    }
    EXPECT_EQ(nearest_rank({}, 50), 0);
}

TEST(LatencyStats, SummaryOfShuffledSamples) {
    std::vector<double> samples;
    for (int ms = 1; ms <= 200; ++ms) {
        samples.push_back(ms);
    }
    std::shuffle(samples.begin(), samples.end(), std::mt19937(7));
    const LatencySummary summary = summarize(samples);
    EXPECT_EQ(summary.count, 200u);
    EXPECT_EQ(summary.p50_ms, 100);
    EXPECT_EQ(summary.p90_ms, 180);
    EXPECT_EQ(summary.p99_ms, 198);
    EXPECT_EQ(summary.max_ms, 200);
    EXPECT_DOUBLE_EQ(summary.mean_ms, 100.5);
}

TEST(ApIdentity, LoopbackAddressesSkipNetworkAndBroadcastOctets) {
    struct Case {
        const char* base;
        int n;
        const char* expected;  // empty: none
    };
    const std::vector<Case> cases = {
        {"127.0.2.1", 0, "127.0.2.1"},
        {"127.0.2.1", 253, "127.0.2.254"},
        {"127.0.2.1", 254, "127.0.3.1"},
        {"127.0.2.254", 1, "127.0.3.1"},
        {"127.0.255.200", 60, "127.1.0.6"},
        {"127.255.255.254", 0, "127.255.255.254"},
        {"127.255.255.254", 1, ""},
        {"10.0.0.1", 0, ""},
        {"127.0.0.0", 0, ""},
        {"127.0.0.255", 0, ""},
        {"127.0.2.1", -1, ""},
    };
    for (const auto& c : cases) {
        const auto addr = nth_loopback_address(Ipv4Addr::from_str(c.base), c.n);
        EXPECT_EQ(addr ? addr->str() : "", c.expected) << c.base << " + " << c.n;
    }
}

TEST(ApIdentity, MacsCountAcrossOctets) {
    struct Case {
        const char* base;
        int n;
        const char* expected;
        const char* bare;
    };
    const std::vector<Case> cases = {
        {"02:b0:00:00:00:01", 0, "02:b0:00:00:00:01", "02B000000001"},
        {"02:b0:00:00:00:ff", 1, "02:b0:00:00:01:00", "02B000000100"},
        {"02:b0:00:ff:ff:ff", 2, "02:b0:01:00:00:01", "02B001000001"},
        {"0a:0b:0c:0d:0e:0f", 300, "0a:0b:0c:0d:0f:3b", "0A0B0C0D0F3B"},
    };
    for (const auto& c : cases) {
        const MacAddr mac = nth_mac(MacAddr::from_str(c.base), c.n);
        EXPECT_EQ(mac.str(), c.expected);
        EXPECT_EQ(bare_upper_mac(mac), c.bare);
    }
}

TEST(ApIdentity, BodyCarriesEveryRequiredMember) {
    const MacAddr mac = MacAddr::from_str("02:b0:00:00:00:2a");
    const BodyFields fields{"dor-ap210", "1.4.0", "B2"};
    std::unique_ptr<json_t, void (*)(json_t*)> body(
        json_loads(ap_request_body(mac, fields).c_str(), 0, nullptr), json_decref);
    ASSERT_TRUE(body);
    const std::vector<std::pair<const char*, const char*>> texts = {
        {"deviceType", "dor-ap210"},
        {"swVersion", "1.4.0"},
        {"hwVersion", "B2"},
        {"mac", "02:b0:00:00:00:2a"},
        {"serial", "BENCH02B00000002A"}};
    for (const auto& [key, value] : texts) {
        EXPECT_STREQ(json_string_value(json_object_get(body.get(), key)), value) << key;
    }
    EXPECT_TRUE(json_is_integer(json_object_get(body.get(), "timeout")));
}

TEST(ProcCpu, ReadsTicksAndRunTime) {
    // Fields 14 and 15 (utime, stime) are 1234 and 56; the name holds ") (".
    const std::string stat =
        "4242 (dor) (sa) S 1 4242 4242 0 -1 4194560 300 0 0 0 1234 56 0 0 20 0 1 0 99";
    EXPECT_EQ(stat_cpu_ticks(stat), std::optional<uint64_t>(1290));
    EXPECT_EQ(stat_cpu_ticks("4242 (dor) S 1 2 3"), std::nullopt);
    EXPECT_EQ(stat_cpu_ticks("no name here"), std::nullopt);
    EXPECT_EQ(schedstat_run_ns("987654321 12345 67\n"), std::optional<uint64_t>(987654321));
    EXPECT_EQ(schedstat_run_ns("\n"), std::nullopt);

    const auto self = sample_cpu(getpid());
    ASSERT_TRUE(self);
    EXPECT_GT(self->run_ns, 0u);
}

TEST(LoadOptions, RefusesWhatCannotRun) {
    struct Case {
        std::vector<std::string> args;
        const char* error;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {{"--port", "8043", "--duration", "5"}, ""},
        {{"--port=8043", "--rounds", "3", "--cpu-pid", "1"}, ""},
        {{"--duration", "5"}, "--port is required"},
        {{"--port", "8043"}, "give either --duration or --rounds"},
        {{"--port", "8043", "--duration", "5", "--rounds", "1"},
         "give either --duration or --rounds"},
        {{"--port", "8043", "--duration", "5", "--cpu-pid", "1"}, "--cpu-pid goes with --rounds"},
        {{"--port", "8043", "--duration", "5", "--method", "PUT"}, "--method takes GET or POST"},
        {{"--port", "0", "--duration", "5"}, "bad value for --port: '0'"},
        {{"--port", "8043", "--duration"}, "--duration needs a value"},
        {{"--port", "8043", "--rounds", "1", "--bogus", "1"}, "unknown option '--bogus'"},
        {{"--port", "8043", "--rounds", "1", "--addr-base", "10.0.0.1"},
         "the APs' addresses must stay in 127.0.0.0/8: --addr-base"},
        {{"--port", "8043", "--rounds", "1", "--addr-base", "127.255.255.250", "--clients", "9"},
         "the APs' addresses must stay in 127.0.0.0/8: --addr-base"},
        {{"--port", "8043", "--rounds", "1", "--mac-base", "02:b0"},
         "bad value for --mac-base: '02:b0'"},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto opts = parse_load_options(c.args, &error);
        EXPECT_EQ(opts.has_value(), *c.error == '\0') << c.args[0] << " " << error;
        EXPECT_EQ(error, c.error);
    }
}

TEST(LoadRun, RequestsNameTheirBodyLength) {
    const std::string body = R"({"mac":"02:b0:00:00:00:01"})";
    const std::string post = http_request("POST", "/ott/ready/ap", "127.0.0.1", 8044, body);
    EXPECT_EQ(post.substr(0, 29), "POST /ott/ready/ap HTTP/1.1\r\n");
    EXPECT_NE(post.find("\r\nContent-Length: 27\r\n"), std::string::npos);
    EXPECT_NE(post.find("\r\nContent-Type: application/json\r\n"), std::string::npos);
    EXPECT_EQ(post.substr(post.size() - body.size() - 4), "\r\n\r\n" + body);

    const std::string get = http_request("GET", "/fw/a.bin", "127.0.0.1", 8043, "");
    EXPECT_EQ(get.find("Content-Length"), std::string::npos);
    EXPECT_EQ(get.substr(get.size() - 4), "\r\n\r\n");
}

}  // namespace
