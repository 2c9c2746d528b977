#include "tests/support/ipc_test_bed.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string make_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/dor-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern;
        return {};
    }
    return pattern;
}

}  // namespace

TempDir::TempDir() : path_(make_temp_dir()) {}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

IpcTestBed::IpcTestBed()
    : IpcTestBed([]() -> const Trace& {
          static const Trace trace("IPCTEST");
          return trace;
      }()) {}

IpcTestBed::IpcTestBed(const Trace& trace) : port(SA_PORT_ID, trace, dir_.path()) {
    std::string error;
    EXPECT_TRUE(client.connect(dir_.path(), SA_PORT_ID, &error) && client.subscribe_all()) << error;
    // Usable once the port has taken the subscription in.
    for (const auto end = Clock::now() + std::chrono::seconds(2);
         port.subscriber_count(0) == 0 && Clock::now() < end;) {
        port.run_once_for_timeout(10);
    }
    EXPECT_NE(port.subscriber_count(0), 0u) << "the port missed the bed's subscription";
}

std::vector<std::shared_ptr<IMsg>> IpcTestBed::drain(int wait_ms) {
    std::vector<std::shared_ptr<IMsg>> out;
    const auto start = Clock::now();
    const auto first_deadline = start + milliseconds(std::max(wait_ms, 0));
    // Big messages leave the port in pieces: both sides take turns until
    // nothing is queued and nothing more arrives.
    while (Clock::now() < start + std::chrono::seconds(10)) {
        port.run_once_for_timeout(0);
        if (auto msg = client.receive(0)) {
            out.push_back(std::move(msg));
            continue;
        }
        const auto now = Clock::now();
        const bool pending = port.pending_output() > 0;
        if (!pending && (!out.empty() || now >= first_deadline)) {
            break;
        }
        const auto left = pending ? milliseconds(10)
                                  : std::chrono::duration_cast<milliseconds>(first_deadline - now);
        pollfd fds[2] = {{client.fd(), POLLIN, 0}, {port.poll_fd(), POLLIN, 0}};
        poll(fds, 2, static_cast<int>(std::max<long>(left.count(), 1)));
    }
    return out;
}

int IpcTestBed::inject(const IMsg& msg) {
    EXPECT_EQ(client.send(msg), IPC_OK) << "type " << msg.get_type();
    int delivered = 0;
    for (const auto end = Clock::now() + std::chrono::seconds(1);
         delivered == 0 && Clock::now() < end;) {
        delivered += port.run_once_for_timeout(10);
    }
    return delivered;
}
