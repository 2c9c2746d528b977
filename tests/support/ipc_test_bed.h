#pragma once
// Test support for suites that talk to the service's IPC port.
//
//   TempDir dir;                 // unique directory under $TMPDIR (or /tmp), removed with its
//                                // contents when `dir` goes out of scope
//   IpcTestBed bed;              // IpcPort(SA_PORT_ID) listening in its own TempDir, plus a
//                                // connected IpcClient subscribed to every type
//   g_ipc_port = &bed.port;      // code under test sends through the real port
//   ...code under test sends...
//   auto sent = bed.drain_as<IPC_MSG__SA_AP_EVENT>();   // what reached the client
//   bed.inject(msg);             // as if a controller process sent `msg`: the port delivers it
//                                // to the callback registered with bed.port
//
// The bed never registers a callback itself: register one on `bed.port` before inject().
// Everything runs on the calling thread; every wait is bounded.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/ipc_port.h"
#include "libs/trace/trace.h"

class TempDir {
  public:
    TempDir();   // fails the current test (ADD_FAILURE) if the directory cannot be made
    ~TempDir();  // removes the directory recursively
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class IpcTestBed {
  public:
    // Uses `trace` for the port's own log lines; the default is a shared Trace "IPCTEST".
    IpcTestBed();
    explicit IpcTestBed(const Trace& trace);
    ~IpcTestBed();
    IpcTestBed(const IpcTestBed&) = delete;
    IpcTestBed& operator=(const IpcTestBed&) = delete;

    // Runs the port (waiting up to `wait_ms` for the first traffic) and collects every
    // message that reached the client, until nothing more is pending on either side.
    std::vector<std::shared_ptr<IMsg>> drain(int wait_ms = 0);

    // drain(), keeping only the messages of class M (others are dropped).
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

    // Sends `msg` from the client and runs the port until it has been delivered (bounded,
    // about 1 s). Returns the number of messages the port delivered.
    int inject(const IMsg& msg);

    // The directory the port listens in (DOR_IPC_DIR is not touched).
    const std::string& dir() const { return dir_.path(); }

  private:
    TempDir dir_;

  public:
    IpcPort port;
    IpcClient client;
};
