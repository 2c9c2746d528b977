#pragma once
// An IpcPort(SA_PORT_ID) in its own temporary directory plus a client subscribed to
// every type. The bed registers no callback: register one on `port` before inject().
// Everything runs on the calling thread; every wait is bounded.

#include <memory>
#include <string>
#include <vector>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/ipc_port.h"
#include "libs/trace/trace.h"

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class IpcTestBed {
  public:
    IpcTestBed();  // the port logs to a shared Trace "IPCTEST"
    explicit IpcTestBed(const Trace& trace);
    IpcTestBed(const IpcTestBed&) = delete;
    IpcTestBed& operator=(const IpcTestBed&) = delete;

    // Every message that reached the client, waiting up to `wait_ms` for the first.
    std::vector<std::shared_ptr<IMsg>> drain(int wait_ms = 0);
    template <class M>
    std::vector<std::shared_ptr<M>> drain_as(int wait_ms = 0) {
        std::vector<std::shared_ptr<M>> out;
        for (auto& msg : drain(wait_ms)) {
            if (auto typed = std::dynamic_pointer_cast<M>(msg)) {
                out.push_back(std::move(typed));
            }
        }
        return out;
    }
    // Sends `msg` from the client; returns how many messages the port then delivered.
    int inject(const IMsg& msg);
    const std::string& dir() const { return dir_.path(); }

  private:
    TempDir dir_;

  public:
    IpcPort port;
    IpcClient client;
};
