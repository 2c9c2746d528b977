#include "tests/controller/service_process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <thread>

#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"

using namespace std::chrono_literals;

ServiceProcess::ServiceProcess() {
    proc_ = std::make_unique<Subprocess>(
        Subprocess::Spec{DOR_SUPERVISOR_BINARY,
                         {"dor-supervisor", "--service", DOR_SA_BINARY},
                         {{"DOR_IPC_DIR", dir()}},
                         {"DOR_SUPERVISOR", "DOR_SUPERVISOR_FD"}});
    EXPECT_TRUE(proc_->wait_for_stderr("dor_sa ready", 10s)) << proc_->stderr_text();
}

ServiceProcess::~ServiceProcess() {
    if (proc_->wait_exit(0ms)) {
        return;
    }
    IpcClient client;
    if (client.connect(dir(), SA_PORT_ID, nullptr)) {
        client.send(IPC_MSG__STOP{});
    }
    EXPECT_EQ(proc_->wait_exit(5s), 0) << proc_->stderr_text();
}

size_t ServiceProcess::count(const std::string& needle) const {
    const std::string text = proc_->stderr_text();
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

bool ServiceProcess::wait_count(const std::string& needle, size_t times,
                                std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (count(needle) < times) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

Controller::Controller(const std::string& dir, const std::vector<uint32_t>& types) {
    std::string error;
    EXPECT_TRUE(client_.connect(dir, SA_PORT_ID, &error)) << error;
    EXPECT_TRUE(client_.subscribe(types));
}

void Controller::send(const IMsg& msg) {
    EXPECT_EQ(client_.send(msg), IPC_OK) << "type " << msg.get_type();
}

bool Controller::receive_until(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    auto msg = client_.receive(static_cast<int>(left.count()));
    if (!msg) {
        return false;
    }
    inbox_.push_back(std::move(msg));
    return true;
}

ToolRun run_tool(const std::string& command_line) {
    ToolRun run;
    FILE* pipe = popen((command_line + " 2>&1").c_str(), "r");
    if (!pipe) {
        return run;
    }
    std::array<char, 4096> buffer;
    size_t n = 0;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        run.output.append(buffer.data(), n);
    }
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}
