// The port and the client over real sockets in a private directory.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "libs/ipc/codec.h"
#include "libs/ipc/ipc_client.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "tests/support/ipc_test_bed.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class PortTest : public ::testing::Test {
  protected:
    PortTest() {
        trace_.set_sink([this](const TraceLine& line) { lines_.push_back(line); });
    }
    static IpcClient connect_client(const std::string& dir) {
        IpcClient client;
        std::string error;
        EXPECT_TRUE(client.connect(dir, SA_PORT_ID, &error)) << error;
        return client;
    }
    static bool run_until(IpcPort& port, const std::function<bool()>& done) {
        for (const auto end = Clock::now() + std::chrono::seconds(2);
             !done() && Clock::now() < end;) {
            port.run_once_for_timeout(10);
        }
        return done();
    }
    size_t lines_with(TraceCategory category, const std::string& part) const {
        return std::count_if(lines_.begin(), lines_.end(), [&](const TraceLine& line) {
            return line.category == category && line.text.find(part) != std::string::npos;
        });
    }
    static void write_raw(const IpcClient& client, const std::string& bytes) {
        ASSERT_EQ(::send(client.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    Trace trace_{"IPCTEST"};
    std::vector<TraceLine> lines_;
    TempDir dir_;
    IpcTestBed bed_{trace_};
};

void on_each(IpcPort& port, std::function<void(const IMsg&, IpcPort&)> on_msg) {
    port.register_msg_callback(
        [on_msg](const IMsg& msg, IpcPort& p, void*) {
            on_msg(msg, p);
            return IPC_OK;
        },
        nullptr);
}

std::shared_ptr<IPC_MSG__SA_REPORT_RESP> report_of(size_t size, char fill) {
    auto msg = std::make_shared<IPC_MSG__SA_REPORT_RESP>();
    msg->text = make_shared_string(std::string(size, fill));
    return msg;
}

TEST_F(PortTest, SendReachesExactlyThePeersThatWantTheType) {
    IpcPort port(SA_PORT_ID, trace_, dir_.path());
    // subscribes to every type, the types it subscribes to, the types it receives
    const std::vector<std::tuple<bool, std::vector<uint32_t>, std::set<uint32_t>>> wants = {
        {false, {129}, {129}},
        {false, {129, 164}, {129, 164}},
        {false, {}, {}},
        {true, {}, {2, 129, 164}}};
    std::vector<IpcClient> clients;
    for (size_t i = 0; i < wants.size(); ++i) {
        clients.push_back(connect_client(dir_.path()));
    }
    ASSERT_TRUE(run_until(port, [&] { return port.peer_count() == wants.size(); }));
    // Connected peers that have not subscribed want nothing.
    EXPECT_EQ(port.send(std::make_shared<IPC_MSG__STOP>()), IPC_ERR_NO_PEER);
    for (size_t i = 0; i < wants.size(); ++i) {
        const auto& [all, types, _] = wants[i];
        ASSERT_TRUE(all ? clients[i].subscribe_all() : clients[i].subscribe(types));
    }
    ASSERT_TRUE(run_until(port, [&] { return port.subscriber_count(129) == 3; }));
    EXPECT_EQ(port.send(std::make_shared<IPC_MSG__SA_AP_EVENT>()), IPC_OK);
    EXPECT_EQ(port.send(std::make_shared<IPC_MSG__SA_GET_APS_RESP>()), IPC_OK);
    EXPECT_EQ(port.send(std::make_shared<IPC_MSG__SA_CREDENTIALS>()), IPC_OK);
    for (size_t i = 0; i < wants.size(); ++i) {
        std::set<uint32_t> got;
        while (auto msg = clients[i].receive(50)) {
            got.insert(msg->get_type());
        }
        EXPECT_EQ(got, std::get<2>(wants[i])) << "subscriber " << i;
    }
    // A new subscription replaces the old one.
    ASSERT_TRUE(clients[1].subscribe({2}));
    ASSERT_TRUE(run_until(port, [&] { return port.subscriber_count(164) == 1; }));
    EXPECT_EQ(port.send(std::make_shared<IPC_MSG__SA_AP_EVENT>()), IPC_OK);
    EXPECT_FALSE(clients[1].receive(50));
}

// Far larger than a socket buffer: the client writes while the port reads.
TEST_F(PortTest, LargestRequestReachesThePort) {
    size_t delivered_size = 0;
    on_each(bed_.port, [&](const IMsg& msg, IpcPort&) {
        delivered_size = dynamic_cast<const IPC_MSG__SA_REPORT_RESP&>(msg).text->size();
    });
    const auto request = report_of(1000000, 'r');  // just under the input limit
    Error sent = IPC_ERR_IO;
    std::thread writer([&] { sent = bed_.client.send(*request); });
    run_until(bed_.port, [&] { return delivered_size != 0; });
    writer.join();
    EXPECT_EQ(sent, IPC_OK);
    EXPECT_EQ(delivered_size, request->text->size());
}

std::string frame_header(uint32_t length) {
    return {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
            static_cast<char>(length >> 8), static_cast<char>(length)};
}

TEST_F(PortTest, MisbehavingPeerIsDroppedAndOthersKeepBeingServed) {
    // what, bytes sent, closed after sending, part of the warning; the codec's tests
    // go through the payloads it refuses
    const std::vector<std::tuple<const char*, std::string, bool, const char*>> cases = {
        {"truncated frame then close", frame_header(10) + "\x93\x02", true, "truncated"},
        {"oversize length prefix", frame_header(2u << 20), false, "limit"},
        {"known type, wrong field count", frame_header(3) + std::string("\x92\x19\xc0", 3), false,
         "IPC_MSG__STOP"},
    };
    int stops = 0;
    on_each(bed_.port,
            [&](const IMsg& msg, IpcPort&) { stops += msg.get_type() == IPC_MSG__STOP::kType; });
    for (const auto& [what, bytes, close_after, reason] : cases) {
        SCOPED_TRACE(what);
        lines_.clear();
        IpcClient bad = connect_client(bed_.dir());
        write_raw(bad, bytes);
        if (close_after) {
            bad.close();
        }
        ASSERT_TRUE(
            run_until(bed_.port, [&] { return lines_with(TraceCategory::WARN, "dropping") > 0; }));
        EXPECT_EQ(lines_with(TraceCategory::WARN, reason), 1u);
        EXPECT_EQ(bed_.port.peer_count(), 1u);
        if (!close_after) {
            std::string error;
            EXPECT_FALSE(bad.receive(1000, &error));
            EXPECT_EQ(error, "closed");
        }
        const int before = stops;
        EXPECT_EQ(bed_.inject(IPC_MSG__STOP{}), 1);
        EXPECT_EQ(stops, before + 1);
        ASSERT_EQ(bed_.port.send(std::make_shared<IPC_MSG__SA_AP_EVENT>()), IPC_OK);
        EXPECT_EQ(bed_.drain_as<IPC_MSG__SA_AP_EVENT>(1000).size(), 1u);
    }
}

TEST_F(PortTest, CallbackMayReplyAndFinalizeWhileTheRunGoesOn) {
    std::vector<std::pair<uint32_t, bool>> calls;  // type, finalized before the call
    on_each(bed_.port, [&](const IMsg& msg, IpcPort& port) {
        calls.emplace_back(msg.get_type(), port.is_finalized());
        if (msg.get_type() == IPC_MSG__STOP::kType) {
            port.finalize();
        } else {
            port.send(report_of(2, 'x'));
        }
    });
    // All frames in one write, so one run reads them together; unknown types are delivered too.
    IpcUnknownMsg unknown(9999);
    unknown.raw_fields = std::string("\x92\xa2hi\x07", 5);  // ["hi", 7]
    std::string frames;
    ASSERT_TRUE(ipc_encode_frame(IPC_MSG__STOP{}, frames));
    ASSERT_TRUE(ipc_encode_frame(unknown, frames));
    write_raw(bed_.client, frames);
    pollfd ready{bed_.port.poll_fd(), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 1000), 1);
    EXPECT_EQ(bed_.port.run_once_for_timeout(0), 2);
    EXPECT_EQ(calls, (std::vector<std::pair<uint32_t, bool>>{{25, false}, {9999, true}}));
    EXPECT_TRUE(bed_.port.is_finalized());
    EXPECT_EQ(bed_.drain_as<IPC_MSG__SA_REPORT_RESP>().size(), 1u);
}

// Two askers in one run: each answer goes back to its own asker, events to both.
TEST_F(PortTest, ReplyReachesOnlyTheAskerWhileEventsReachEverySubscriber) {
    std::vector<std::optional<PeerCredentials>> askers;
    on_each(bed_.port, [&](const IMsg& msg, IpcPort& port) {
        askers.push_back(port.peer_credentials(port.current_peer()));
        auto answer = report_of(0, ' ');
        answer->text = dynamic_cast<const IPC_MSG__SA_REPORT_RESP&>(msg).text;
        EXPECT_EQ(port.reply(answer), IPC_OK);
        EXPECT_EQ(port.send(std::make_shared<IPC_MSG__SA_AP_EVENT>()), IPC_OK);
    });
    std::vector<IpcClient> clients;
    for (int i = 0; i < 2; ++i) {
        clients.push_back(connect_client(bed_.dir()));
        ASSERT_TRUE(clients.back().subscribe({IPC_MSG__SA_REPORT_RESP::kType, 164}));
    }
    ASSERT_TRUE(run_until(bed_.port, [&] { return bed_.port.subscriber_count(164) == 3; }));
    for (size_t i = 0; i < clients.size(); ++i) {
        ASSERT_EQ(clients[i].send(*report_of(i + 1, 'a')), IPC_OK);
    }
    ASSERT_TRUE(run_until(bed_.port, [&] { return askers.size() == clients.size(); }));
    for (size_t i = 0; i < clients.size(); ++i) {
        std::vector<std::string> got;
        while (auto msg = clients[i].receive(100)) {
            const auto* answer = dynamic_cast<const IPC_MSG__SA_REPORT_RESP*>(msg.get());
            got.push_back(answer ? *answer->text : std::to_string(msg->get_type()));
        }
        std::ranges::sort(got);
        EXPECT_EQ(got, (std::vector<std::string>{"164", "164", std::string(i + 1, 'a')})) << i;
        // Both ends are this process: the kernel's word on who asked.
        ASSERT_TRUE(askers[i]);
        EXPECT_EQ(askers[i]->pid, getpid());
        EXPECT_EQ(askers[i]->uid, getuid());
    }
    // Outside a callback nobody asked: an answer built in-process goes to every subscriber.
    EXPECT_EQ(bed_.port.current_peer(), kNoPeer);
    ASSERT_EQ(bed_.port.reply(report_of(1, 'z')), IPC_OK);
    for (auto& client : clients) {
        EXPECT_TRUE(client.receive_as<IPC_MSG__SA_REPORT_RESP>(1000));
    }
}

// The flood that stalled the service: requests whose answers pile up unread.
TEST_F(PortTest, DroppedPeersUnhandledRequestsAreDiscarded) {
    const auto big = report_of(1u << 20, 'q');
    int handled = 0, answered = 0, bed_handled = 0;
    on_each(bed_.port, [&](const IMsg& msg, IpcPort& port) {
        if (msg.get_type() != IPC_MSG__SA_REPORT_REQ::kType) {
            ++bed_handled;
            return;
        }
        ++handled;
        answered += port.reply(big) == IPC_OK;
    });
    IpcClient flood = connect_client(bed_.dir());
    ASSERT_TRUE(flood.subscribe({IPC_MSG__SA_REPORT_RESP::kType}));
    constexpr int kRequests = 200;  // three times what the output cap holds
    std::string frames;
    for (int i = 0; i < kRequests; ++i) {
        ASSERT_TRUE(ipc_encode_frame(IPC_MSG__SA_REPORT_REQ{}, frames));
    }
    write_raw(flood, frames);
    ASSERT_TRUE(
        run_until(bed_.port, [&] { return lines_with(TraceCategory::WARN, "does not read") > 0; }));
    // The request whose answer broke the cap is the last one handled.
    EXPECT_EQ(handled, answered + 1);
    EXPECT_LT(handled, kRequests);
    EXPECT_EQ(lines_with(TraceCategory::WARN, "peer #" + std::to_string(2) + " was dropped: " +
                                                  std::to_string(kRequests - handled) +
                                                  " unhandled messages discarded"),
              1u);
    EXPECT_EQ(bed_.inject(IPC_MSG__TZ_UPDATE{}), 1);
    EXPECT_EQ(bed_handled, 1);
}

TEST_F(PortTest, ApRequestTypeWithoutTakerIsSaidOnceAndAgainWhenTaken) {
    IpcPort port(SA_PORT_ID, trace_, dir_.path());
    const auto waits = [&](uint32_t type) {
        return lines_with(TraceCategory::WARN, "no process takes type " + std::to_string(type) +
                                                   ": AP requests will wait");
    };
    const auto taken = [&](uint32_t type) {
        return lines_with(TraceCategory::SYS,
                          "takes type " + std::to_string(type) + " now: AP requests go out again");
    };
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(port.send(std::make_shared<IPC_MSG__FW_AP_CHECK>()), IPC_ERR_NO_PEER);
        EXPECT_EQ(port.send(std::make_shared<IPC_MSG__SA_CERT_AUTH_AP>()), IPC_ERR_NO_PEER);
        EXPECT_EQ(port.send(std::make_shared<IPC_MSG__SA_AP_EVENT>()), IPC_ERR_NO_PEER);
    }
    EXPECT_EQ(waits(136), 1u);
    EXPECT_EQ(waits(140), 1u);
    EXPECT_EQ(waits(164), 0u);  // events wait for nobody
    IpcClient taker = connect_client(dir_.path());
    ASSERT_TRUE(taker.subscribe({136}));
    ASSERT_TRUE(run_until(port, [&] { return port.subscriber_count(136) == 1; }));
    EXPECT_EQ(taken(136), 1u);
    EXPECT_EQ(taken(140), 0u);
    EXPECT_EQ(port.send(std::make_shared<IPC_MSG__FW_AP_CHECK>()), IPC_OK);
    // Gone again: said again.
    taker.close();
    ASSERT_TRUE(run_until(port, [&] { return port.subscriber_count(136) == 0; }));
    EXPECT_EQ(port.send(std::make_shared<IPC_MSG__FW_AP_CHECK>()), IPC_ERR_NO_PEER);
    EXPECT_EQ(waits(136), 2u);
    EXPECT_EQ(waits(140), 1u);
}

TEST_F(PortTest, CallbackExceptionLeavesTheRun) {
    on_each(bed_.port, [](const IMsg&, IpcPort&) { throw std::runtime_error("handler broke"); });
    ASSERT_EQ(bed_.client.send(IPC_MSG__TZ_UPDATE{}), IPC_OK);
    pollfd ready{bed_.port.poll_fd(), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 1000), 1);
    EXPECT_THROW(bed_.port.run_once_for_timeout(0), std::runtime_error);
    EXPECT_EQ(bed_.port.current_peer(), kNoPeer);
}

// Loose bounds: these catch a wait that ignores its time-out, not slowness.
TEST_F(PortTest, RunOnceWaitsAtMostItsTimeoutAndWakesForAMessage) {
    on_each(bed_.port, [](const IMsg&, IpcPort&) {});
    pollfd idle{bed_.port.poll_fd(), POLLIN, 0};
    EXPECT_EQ(poll(&idle, 1, 0), 0);
    auto start = Clock::now();
    EXPECT_EQ(bed_.port.run_once_for_timeout(25), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(500));

    std::thread sender([&] {
        std::this_thread::sleep_for(milliseconds(50));
        bed_.client.send(IPC_MSG__TZ_UPDATE{});
    });
    start = Clock::now();
    EXPECT_EQ(bed_.port.run_once_for_timeout(5000), 1);
    EXPECT_LT(Clock::now() - start, milliseconds(2500));
    sender.join();
    EXPECT_EQ(poll(&idle, 1, 0), 0);  // nothing left to do
}

TEST_F(PortTest, PeerThatDoesNotReadIsDroppedAtTheQueueCap) {
    const auto big = report_of(1u << 20, 'q');
    Error last = IPC_OK;
    int sends = 0;
    for (; sends < 200 && last == IPC_OK; ++sends) {
        last = bed_.port.send(big);
    }
    EXPECT_EQ(last, IPC_ERR_IO);
    EXPECT_GT(sends, 60);  // nothing is dropped below the cap
    EXPECT_EQ(bed_.port.peer_count(), 0u);
    EXPECT_EQ(bed_.port.pending_output(), 0u);
    EXPECT_EQ(lines_with(TraceCategory::WARN, "does not read"), 1u);
}

TEST_F(PortTest, DestroyedPortStillDeliversWhatItQueued) {
    auto own = std::make_unique<IpcTestBed>(trace_);
    const auto big = report_of(1u << 20, 'z');
    ASSERT_EQ(own->port.send(big), IPC_OK);
    ASSERT_GT(own->port.pending_output(), 0u);  // more than the socket buffer holds
    IpcClient client = std::move(own->client);
    std::shared_ptr<IPC_MSG__SA_REPORT_RESP> got;
    std::thread reader([&] { got = client.receive_as<IPC_MSG__SA_REPORT_RESP>(3000); });
    own.reset();
    reader.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got->text, *big->text);
}

TEST_F(PortTest, HeldOutputLeavesWholeAndInOrderOnlyWhenFlushed) {
    bed_.port.hold_output(true);
    // More frames than one gathered write takes, some bigger than the socket buffer.
    std::vector<std::shared_ptr<IPC_MSG__SA_REPORT_RESP>> sent;
    for (int i = 0; i < 150; ++i) {
        sent.push_back(report_of(i % 50 == 7 ? 300000 : 10 + i, static_cast<char>('a' + i % 26)));
        ASSERT_EQ(bed_.port.send(sent.back()), IPC_OK);
    }
    pollfd readable{bed_.client.fd(), POLLIN, 0};
    bed_.port.run_once_for_timeout(0);  // a turn that does not wait keeps holding
    EXPECT_EQ(poll(&readable, 1, 0), 0);
    bed_.port.flush_output();
    const auto got = bed_.drain_as<IPC_MSG__SA_REPORT_RESP>();
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(*got[i]->text, *sent[i]->text) << i;
    }

    // What else lets held frames go: a run that waits, and the end of holding.
    const std::vector<std::pair<const char*, std::function<void()>>> releases = {
        {"waiting run", [&] { bed_.port.run_once_for_timeout(5); }},
        {"hold ended", [&] { bed_.port.hold_output(false); }},
    };
    for (const auto& [what, release] : releases) {
        SCOPED_TRACE(what);
        ASSERT_EQ(bed_.port.send(report_of(3, 'r')), IPC_OK);
        release();
        const auto one = bed_.client.receive_as<IPC_MSG__SA_REPORT_RESP>(1000);
        ASSERT_TRUE(one);
        EXPECT_EQ(*one->text, "rrr");
    }
}

TEST_F(PortTest, ListeningSocketPathIsTakenOnlyWhenFree) {
    const std::string dir = dir_.path() + "/made/here";
    const std::string path = ipc_socket_path(dir, SA_PORT_ID);
    std::unique_ptr<IpcPort> live;
    // what, what sits at the path first (null: not even the directories), part of the error
    // (null: listens)
    const std::vector<std::tuple<const char*, std::function<void()>, const char*>> cases = {
        {"missing directories", nullptr, nullptr},
        {"live port", [&] { live = std::make_unique<IpcPort>(SA_PORT_ID, trace_, dir); },
         "another instance"},
        // Left behind by a process that died.
        {"stale socket file", [&] { ASSERT_EQ(mknod(path.c_str(), S_IFSOCK | 0600, 0), 0); },
         nullptr},
        {"regular file", [&] { std::ofstream(path) << "x"; }, "not a socket"},
    };
    for (const auto& [what, occupy, error] : cases) {
        SCOPED_TRACE(what);
        live.reset();
        std::filesystem::remove_all(dir_.path() + "/made");
        if (occupy) {
            std::filesystem::create_directories(dir);
            occupy();
        }
        lines_.clear();
        IpcPort port(SA_PORT_ID, trace_, dir);
        EXPECT_EQ(port.register_msg_callback([](const IMsg&, IpcPort&, void*) { return IPC_OK; },
                                             nullptr),
                  error == nullptr);
        EXPECT_EQ(port.socket_path(), path);
        struct stat st {};
        EXPECT_TRUE(occupy || (stat(dir.c_str(), &st) == 0 && (st.st_mode & 07777) == 0755));
        if (error) {
            EXPECT_EQ(lines_with(TraceCategory::ERROR, error), 1u);
        } else {
            IpcClient client = connect_client(dir);
            EXPECT_TRUE(run_until(port, [&] { return port.peer_count() == 1; }));
        }
    }
}

}  // namespace
