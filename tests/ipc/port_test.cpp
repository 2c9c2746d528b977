// The port and the client over real sockets in a private directory.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "libs/ipc/codec.h"
#include "libs/ipc/ipc_client.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "tests/ipc/ipc_test_values.h"
#include "tests/support/ipc_test_bed.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class PortTest : public ::testing::Test {
  protected:
    PortTest() {
        trace_.set_sink([this](const TraceLine& line) { lines_.push_back(line); });
    }

    IpcClient connect_client() { return connect_client_to(dir_.path()); }
    static IpcClient connect_client_to(const std::string& dir) {
        IpcClient client;
        std::string error;
        EXPECT_TRUE(client.connect(dir, SA_PORT_ID, &error)) << error;
        return client;
    }

    // Runs the port until `done` holds, two seconds at most.
    static bool run_until(IpcPort& port, const std::function<bool()>& done) {
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (!done() && Clock::now() < deadline) {
            port.run_once_for_timeout(10);
        }
        return done();
    }

    size_t lines_with(TraceCategory category, const std::string& part) const {
        size_t n = 0;
        for (const auto& line : lines_) {
            n += line.category == category && line.text.find(part) != std::string::npos;
        }
        return n;
    }

    Trace trace_{"IPCTEST"};
    std::vector<TraceLine> lines_;
    TempDir dir_;
};

Error ignore_msg(const IMsg&, IpcPort&, void*) {
    return IPC_OK;
}

std::set<uint32_t> types_received(IpcClient& client) {
    std::set<uint32_t> types;
    while (auto msg = client.receive(50)) {
        types.insert(msg->get_type());
    }
    return types;
}

TEST_F(PortTest, SendReachesExactlyThePeersThatWantTheType) {
    IpcPort port(SA_PORT_ID, trace_, dir_.path());
    struct Subscriber {
        bool all;
        std::vector<uint32_t> types;
        IpcClient client;
    };
    std::vector<Subscriber> subs;
    subs.push_back({false, {129}, connect_client()});
    subs.push_back({false, {129, 164}, connect_client()});
    subs.push_back({false, {}, connect_client()});
    subs.push_back({true, {}, connect_client()});
    for (auto& sub : subs) {
        ASSERT_TRUE(sub.all ? sub.client.subscribe_all() : sub.client.subscribe(sub.types));
    }
    ASSERT_TRUE(run_until(port, [&] { return port.subscriber_count(129) == 3; }));

    const std::vector<std::shared_ptr<IMsg>> sent = {std::make_shared<IPC_MSG__SA_AP_EVENT>(),
                                                     std::make_shared<IPC_MSG__SA_GET_APS_RESP>(),
                                                     std::make_shared<IPC_MSG__SA_CREDENTIALS>()};
    for (const auto& msg : sent) {
        EXPECT_EQ(port.send(msg), IPC_OK) << msg->get_type();
    }
    for (size_t i = 0; i < subs.size(); ++i) {
        std::set<uint32_t> expected;
        for (const auto& msg : sent) {
            const uint32_t type = msg->get_type();
            if (subs[i].all || std::count(subs[i].types.begin(), subs[i].types.end(), type)) {
                expected.insert(type);
            }
        }
        EXPECT_EQ(types_received(subs[i].client), expected) << "subscriber " << i;
    }

    // A new subscription replaces the old one.
    ASSERT_TRUE(subs[1].client.subscribe({2}));
    ASSERT_TRUE(run_until(port, [&] { return port.subscriber_count(164) == 1; }));
    EXPECT_EQ(port.send(std::make_shared<IPC_MSG__SA_AP_EVENT>()), IPC_OK);
    EXPECT_TRUE(types_received(subs[1].client).empty());
}

TEST_F(PortTest, SendWithoutAnInterestedPeerSaysSo) {
    IpcPort port(SA_PORT_ID, trace_, dir_.path());
    EXPECT_EQ(port.send(std::make_shared<IPC_MSG__STOP>()), IPC_ERR_NO_PEER);
    IpcClient client = connect_client();
    ASSERT_TRUE(client.subscribe({2}));
    ASSERT_TRUE(run_until(port, [&] { return port.subscriber_count(2) == 1; }));
    EXPECT_EQ(port.send(std::make_shared<IPC_MSG__STOP>()), IPC_ERR_NO_PEER);
    EXPECT_EQ(port.send(std::make_shared<IPC_MSG__SA_CREDENTIALS>()), IPC_OK);
}

TEST_F(PortTest, HundredThousandRowReplyReachesTheClient) {
    IpcTestBed bed(trace_);
    auto msg = std::make_shared<IPC_MSG__SA_GET_APS_RESP>();
    msg->aps = many_ap_rows(100000);
    ASSERT_EQ(bed.port.send(msg), IPC_OK);
    const auto got = bed.drain_as<IPC_MSG__SA_GET_APS_RESP>();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0]->aps == msg->aps);
}

TEST_F(PortTest, RequestJustUnderTheInputLimitIsDelivered) {
    IpcTestBed bed(trace_);
    size_t delivered_size = 0;
    bed.port.register_msg_callback(
        [&](const IMsg& msg, IpcPort&, void*) {
            if (auto* resp = dynamic_cast<const IPC_MSG__SA_REPORT_RESP*>(&msg)) {
                delivered_size = resp->text->size();
            }
            return IPC_OK;
        },
        nullptr);
    IPC_MSG__SA_REPORT_RESP big;
    big.text = make_shared_string(std::string(1000000, 'r'));
    // The socket buffer is far smaller, so the client writes while the port reads.
    Error sent = IPC_ERR_IO;
    std::thread writer([&] { sent = bed.client.send(big); });
    run_until(bed.port, [&] { return delivered_size != 0; });
    writer.join();
    EXPECT_EQ(sent, IPC_OK);
    EXPECT_EQ(delivered_size, big.text->size());
}

std::string frame_header(uint32_t length) {
    return {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
            static_cast<char>(length >> 8), static_cast<char>(length)};
}
std::string framed(const std::string& payload) {
    return frame_header(static_cast<uint32_t>(payload.size())) + payload;
}

TEST_F(PortTest, MisbehavingPeerIsDroppedAndOthersKeepBeingServed) {
    struct Case {
        const char* label;
        std::string bytes;
        bool close_after;
        const char* reason;  // part of the warning
    };
    const Case cases[] = {
        {"truncated frame then close", frame_header(10) + "\x93\x02", true, "truncated"},
        {"oversize length prefix", frame_header(2u << 20), false, "limit"},
        {"empty payload", frame_header(0), false, "empty"},
        {"not msgpack", framed("\xc1"), false, "not msgpack"},
        {"not an array", framed("\x19"), false, "not a non-empty array"},
        {"type not an int", framed("\x91\xa1x"), false, "type"},
        {"known type, wrong field type", framed(std::string("\x92\x6a\x05", 3)), false,
         "IPC_MSG__SA_AP_REG_TIMEOUT"},
        {"known type, wrong field count", framed(std::string("\x92\x19\xc0", 3)), false,
         "IPC_MSG__STOP"},
    };
    IpcPort port(SA_PORT_ID, trace_, dir_.path());
    int stops = 0;
    port.register_msg_callback(
        [&](const IMsg& msg, IpcPort&, void*) {
            stops += msg.get_type() == IPC_MSG__STOP::kType;
            return IPC_OK;
        },
        nullptr);
    IpcClient good = connect_client();
    ASSERT_TRUE(good.subscribe({IPC_MSG__SA_AP_EVENT::kType}));
    ASSERT_TRUE(run_until(port, [&] { return port.subscriber_count(164) == 1; }));

    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        lines_.clear();
        IpcClient bad = connect_client();
        ASSERT_EQ(::send(bad.fd(), c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(c.bytes.size()));
        if (c.close_after) {
            bad.close();
        }
        ASSERT_TRUE(
            run_until(port, [&] { return lines_with(TraceCategory::WARN, "dropping") > 0; }));
        EXPECT_EQ(lines_with(TraceCategory::WARN, c.reason), 1u);
        EXPECT_EQ(port.peer_count(), 1u);
        if (!c.close_after) {
            std::string error;
            EXPECT_FALSE(bad.receive(1000, &error));
            EXPECT_EQ(error, "closed");
        }

        const int before = stops;
        ASSERT_EQ(good.send(IPC_MSG__STOP{}), IPC_OK);
        EXPECT_TRUE(run_until(port, [&] { return stops == before + 1; }));
        ASSERT_EQ(port.send(std::make_shared<IPC_MSG__SA_AP_EVENT>()), IPC_OK);
        EXPECT_TRUE(good.receive_as<IPC_MSG__SA_AP_EVENT>(1000));
    }
}

TEST_F(PortTest, UnknownTypeReachesTheCallback) {
    IpcTestBed bed(trace_);
    std::shared_ptr<IpcUnknownMsg> seen;
    bed.port.register_msg_callback(
        [&](const IMsg& msg, IpcPort&, void*) {
            if (auto* unknown = dynamic_cast<const IpcUnknownMsg*>(&msg)) {
                seen = std::make_shared<IpcUnknownMsg>(*unknown);
            }
            return IPC_OK;
        },
        nullptr);
    IpcUnknownMsg msg(9999);
    msg.raw_fields = std::string("\x92\xa2hi\x07", 5);  // ["hi", 7]
    EXPECT_EQ(bed.inject(msg), 1);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->get_type(), 9999u);
    EXPECT_EQ(seen->raw_fields, msg.raw_fields);
}

TEST_F(PortTest, CallbackMayReplyAndFinalizeWhileTheRunGoesOn) {
    IpcTestBed bed(trace_);
    std::vector<std::pair<uint32_t, bool>> calls;  // type, finalized before the call
    bed.port.register_msg_callback(
        [&](const IMsg& msg, IpcPort& port, void*) {
            calls.emplace_back(msg.get_type(), port.is_finalized());
            if (msg.get_type() == IPC_MSG__STOP::kType) {
                port.finalize();
            } else {
                auto reply = std::make_shared<IPC_MSG__SA_REPORT_RESP>();
                reply->text = make_shared_string("{}");
                port.send(reply);
            }
            return IPC_OK;
        },
        nullptr);
    // Both frames in one write, so one run reads them together.
    std::string both;
    ASSERT_TRUE(ipc_encode_frame(IPC_MSG__STOP{}, both));
    ASSERT_TRUE(ipc_encode_frame(IPC_MSG__SA_REPORT_REQ{}, both));
    ASSERT_EQ(::send(bed.client.fd(), both.data(), both.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(both.size()));
    pollfd ready{bed.port.poll_fd(), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 1000), 1);
    EXPECT_EQ(bed.port.run_once_for_timeout(0), 2);
    const std::vector<std::pair<uint32_t, bool>> expected = {{IPC_MSG__STOP::kType, false},
                                                             {IPC_MSG__SA_REPORT_REQ::kType, true}};
    EXPECT_EQ(calls, expected);
    EXPECT_TRUE(bed.port.is_finalized());
    EXPECT_EQ(bed.drain_as<IPC_MSG__SA_REPORT_RESP>().size(), 1u);
}

TEST_F(PortTest, PollFdIsReadableExactlyWhileWorkIsWaiting) {
    IpcTestBed bed(trace_);
    bed.port.register_msg_callback(ignore_msg, nullptr);
    pollfd entry{bed.port.poll_fd(), POLLIN, 0};
    EXPECT_EQ(poll(&entry, 1, 0), 0);
    ASSERT_EQ(bed.client.send(IPC_MSG__TZ_UPDATE{}), IPC_OK);
    EXPECT_EQ(poll(&entry, 1, 1000), 1);
    EXPECT_EQ(bed.port.run_once_for_timeout(0), 1);
    EXPECT_EQ(poll(&entry, 1, 0), 0);
}

// Loose bounds: these catch a wait that ignores its time-out, not slowness.
TEST_F(PortTest, RunOnceWaitsAtMostItsTimeoutAndWakesForAMessage) {
    IpcTestBed bed(trace_);
    bed.port.register_msg_callback(ignore_msg, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(bed.port.run_once_for_timeout(25), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(500));

    std::thread sender([&] {
        std::this_thread::sleep_for(milliseconds(50));
        bed.client.send(IPC_MSG__TZ_UPDATE{});
    });
    start = Clock::now();
    const int delivered = bed.port.run_once_for_timeout(5000);
    const auto waited = Clock::now() - start;
    sender.join();
    EXPECT_EQ(delivered, 1);
    EXPECT_LT(waited, milliseconds(2500));
}

TEST_F(PortTest, PeerThatDoesNotReadIsDroppedAtTheQueueCap) {
    IpcPort port(SA_PORT_ID, trace_, dir_.path());
    IpcClient idle = connect_client();
    ASSERT_TRUE(idle.subscribe_all());
    ASSERT_TRUE(run_until(port, [&] { return port.subscriber_count(114) == 1; }));
    auto big = std::make_shared<IPC_MSG__SA_REPORT_RESP>();
    big->text = make_shared_string(std::string(1u << 20, 'q'));
    Error last = IPC_OK;
    int sends = 0;
    for (; sends < 200 && last == IPC_OK; ++sends) {
        last = port.send(big);
    }
    EXPECT_EQ(last, IPC_ERR_IO);
    EXPECT_GT(sends, 60);  // nothing is dropped below the cap
    EXPECT_EQ(port.peer_count(), 0u);
    EXPECT_EQ(port.pending_output(), 0u);
    EXPECT_EQ(lines_with(TraceCategory::WARN, "does not read"), 1u);
}

TEST_F(PortTest, DestroyedPortStillDeliversWhatItQueued) {
    auto port = std::make_unique<IpcPort>(SA_PORT_ID, trace_, dir_.path());
    IpcClient client = connect_client();
    ASSERT_TRUE(client.subscribe_all());
    ASSERT_TRUE(run_until(*port, [&] { return port->subscriber_count(114) == 1; }));
    auto big = std::make_shared<IPC_MSG__SA_REPORT_RESP>();
    big->text = make_shared_string(std::string(1u << 20, 'z'));
    ASSERT_EQ(port->send(big), IPC_OK);
    ASSERT_GT(port->pending_output(), 0u);  // more than the socket buffer holds
    std::shared_ptr<IPC_MSG__SA_REPORT_RESP> got;
    std::thread reader([&] { got = client.receive_as<IPC_MSG__SA_REPORT_RESP>(3000); });
    port.reset();
    reader.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got->text, *big->text);
}

// A socket file left behind by a process that died: bound, never unlinked.
void leave_stale_socket(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
}

TEST_F(PortTest, ListeningSocketPathIsTakenOnlyWhenFree) {
    const std::string dir = dir_.path() + "/made/here";
    const std::string path = ipc_socket_path(dir, SA_PORT_ID);
    struct Case {
        const char* label;
        std::function<std::shared_ptr<void>()> occupy;  // what sits at the path first
        bool listens;
        const char* error;
    };
    const Case cases[] = {
        {"nothing there", [] { return nullptr; }, true, nullptr},
        {"live port", [&] { return std::make_shared<IpcPort>(SA_PORT_ID, trace_, dir); }, false,
         "another instance"},
        {"stale socket file",
         [&] {
             leave_stale_socket(path);
             return nullptr;
         },
         true, nullptr},
        {"regular file",
         [&] {
             std::ofstream(path) << "x";
             return nullptr;
         },
         false, "not a socket"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        lines_.clear();
        std::filesystem::remove_all(dir_.path() + "/made");
        ASSERT_EQ(mkdir((dir_.path() + "/made").c_str(), 0700), 0);
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        std::shared_ptr<void> holder = c.occupy();
        lines_.clear();
        IpcPort port(SA_PORT_ID, trace_, dir);
        EXPECT_EQ(port.register_msg_callback(ignore_msg, nullptr), c.listens);
        EXPECT_EQ(port.socket_path(), path);
        if (c.listens) {
            IpcClient client = connect_client_to(dir);
            EXPECT_TRUE(client.connected());
            EXPECT_TRUE(run_until(port, [&] { return port.peer_count() == 1; }));
        } else {
            EXPECT_EQ(lines_with(TraceCategory::ERROR, c.error), 1u);
        }
    }
}

TEST_F(PortTest, MissingDirectoryIsCreated) {
    const std::string dir = dir_.path() + "/a/b";
    IpcPort port(SA_PORT_ID, trace_, dir);
    EXPECT_TRUE(port.register_msg_callback(ignore_msg, nullptr));
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(PortTest, ClientConnectErrorIsOneClearLine) {
    IpcClient client;
    std::string error;
    EXPECT_FALSE(client.connect(dir_.path(), 7, &error));
    EXPECT_EQ(error, "cannot connect to " + dir_.path() + "/port-7.sock: " + std::strerror(ENOENT));
    EXPECT_FALSE(client.connected());
}

}  // namespace
