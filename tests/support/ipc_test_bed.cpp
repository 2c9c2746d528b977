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

constexpr auto kSetupBound = std::chrono::seconds(2);
constexpr auto kDrainBound = std::chrono::seconds(10);
constexpr auto kInjectBound = std::chrono::seconds(1);

std::string make_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/dor-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern << " failed";
        return {};
    }
    return pattern;
}

const Trace& bed_trace() {
    static const Trace trace("IPCTEST");
    return trace;
}

}  // namespace

TempDir::TempDir() : path_(make_temp_dir()) {}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

IpcTestBed::IpcTestBed() : IpcTestBed(bed_trace()) {}

IpcTestBed::IpcTestBed(const Trace& trace) : port(SA_PORT_ID, trace, dir_.path()) {
    std::string error;
    if (!client.connect(dir_.path(), SA_PORT_ID, &error) || !client.subscribe_all()) {
        ADD_FAILURE() << "test bed client: " << error;
        return;
    }
    // The bed is usable once the port has taken the subscription in.
    const auto deadline = Clock::now() + kSetupBound;
    while (port.subscriber_count(0) == 0 && Clock::now() < deadline) {
        port.run_once_for_timeout(10);
    }
    if (port.subscriber_count(0) == 0) {
        ADD_FAILURE() << "test bed: the port did not see the client's subscription";
    }
}

IpcTestBed::~IpcTestBed() = default;

std::vector<std::shared_ptr<IMsg>> IpcTestBed::drain(int wait_ms) {
    std::vector<std::shared_ptr<IMsg>> out;
    const auto start = Clock::now();
    const auto first_deadline = start + std::chrono::milliseconds(std::max(wait_ms, 0));
    // Big messages leave the port in pieces, so both sides take turns until
    // nothing is queued and nothing more arrives.
    while (Clock::now() < start + kDrainBound) {
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
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            pending ? std::chrono::milliseconds(10) : first_deadline - now);
        pollfd fds[2] = {{client.fd(), POLLIN, 0}, {port.poll_fd(), POLLIN, 0}};
        poll(fds, 2, static_cast<int>(std::max<long>(left.count(), 1)));
    }
    return out;
}

int IpcTestBed::inject(const IMsg& msg) {
    if (client.send(msg) != IPC_OK) {
        ADD_FAILURE() << "test bed: client could not send type " << msg.get_type();
        return 0;
    }
    const auto deadline = Clock::now() + kInjectBound;
    int delivered = 0;
    while (delivered == 0 && Clock::now() < deadline) {
        delivered += port.run_once_for_timeout(10);
    }
    return delivered;
}
