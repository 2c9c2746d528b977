#pragma once
// The real dor_sa under dor-supervisor in a scratch IPC directory, and a
// controller peer that talks to it over the real transport.

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "libs/ipc/ipc_client.h"
#include "tests/app/subprocess.h"
#include "tests/support/ipc_test_bed.h"

class ServiceProcess {
  public:
    // Fails the test (and leaves running() false) if it does not get ready.
    ServiceProcess();
    // Stops the service with the stop message, killing it if it hangs.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    const std::string& dir() const { return dir_.path(); }
    Subprocess& process() { return *proc_; }
    // Occurrences of `needle` in the service's standard error so far.
    size_t count(const std::string& needle) const;
    // Polls until `needle` has appeared `times` times.
    bool wait_count(const std::string& needle, size_t times,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

  private:
    TempDir dir_;
    std::unique_ptr<Subprocess> proc_;
};

// A controller process: sends requests, keeps what arrives in order, and lets
// the test wait for one class of message without losing the others.
class Controller {
  public:
    Controller(const std::string& dir, const std::vector<uint32_t>& types);

    void send(const IMsg& msg);

    // The next message of class M (earlier ones first), or null after `limit`.
    template <class M>
    std::shared_ptr<M> wait_for(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (auto it = inbox_.begin(); it != inbox_.end(); ++it) {
                if (auto typed = std::dynamic_pointer_cast<M>(*it)) {
                    inbox_.erase(it);
                    return typed;
                }
            }
            if (!receive_until(deadline)) {
                return nullptr;
            }
        }
    }

    // Everything of class M that arrives within `window`, taken out of the inbox.
    template <class M>
    std::vector<std::shared_ptr<M>> collect(std::chrono::milliseconds window) {
        const auto deadline = std::chrono::steady_clock::now() + window;
        while (receive_until(deadline)) {
        }
        std::vector<std::shared_ptr<M>> out;
        for (auto it = inbox_.begin(); it != inbox_.end();) {
            if (auto typed = std::dynamic_pointer_cast<M>(*it)) {
                out.push_back(std::move(typed));
                it = inbox_.erase(it);
            } else {
                ++it;
            }
        }
        return out;
    }

  private:
    bool receive_until(std::chrono::steady_clock::time_point deadline);

    IpcClient client_;
    std::deque<std::shared_ptr<IMsg>> inbox_;
};

// Runs a program and captures its standard output and error together.
struct ToolRun {
    int status = -1;
    std::string output;
};
ToolRun run_tool(const std::string& command_line);
