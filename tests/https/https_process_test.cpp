// The real dor_sa under its supervisor: a server whose port is taken fails
// after five attempts and the service ends with status 0. Requests served
// through its main loop are covered by the controller's process tests.

#include <gtest/gtest.h>
#include <signal.h>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/messages.h"
#include "tests/app/subprocess.h"
#include "tests/https/https_bed.h"

namespace {

using namespace std::chrono_literals;

int count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) {
        ++n;
    }
    return n;
}

class SupervisedService {
  public:
    SupervisedService()
        : proc(Subprocess::Launch{DOR_SUPERVISOR_BINARY,
                                  {"dor-supervisor", "--service", DOR_SA_BINARY},
                                  {{"DOR_IPC_DIR", dir.path()}},
                                  {"DOR_SUPERVISOR", "DOR_SUPERVISOR_FD"}}) {
        EXPECT_TRUE(proc.wait_for_stderr("dor_sa ready", 10s)) << proc.stderr_text();
        std::string error;
        EXPECT_TRUE(client.connect(dir.path(), SA_PORT_ID, &error)) << error;
    }
    // The supervisor turns SIGTERM into a stop; killing it would orphan dor_sa.
    ~SupervisedService() {
        if (!proc.wait_exit(std::chrono::milliseconds(0))) {
            proc.signal(SIGTERM);
            proc.wait_exit(5s);
        }
    }

    TempDir dir;
    Subprocess proc;
    IpcClient client;
};

TEST(HttpsProcess, ServerOnATakenPortFailsAndTheServiceEnds) {
    for (const Endpoint& endpoint : kEndpoints) {
        SCOPED_TRACE(endpoint.label);
        const uint32_t base = free_port_pair(), taken = endpoint.authorized ? base + 1 : base;
        PortTaker taker(taken);
        SupervisedService service;
        // The controller's configuration: ports, TLS files, then admission on.
        IPC_MSG__SA_PORTS ports;
        ports.base_port = base;
        EXPECT_EQ(service.client.send(ports), IPC_OK);
        const TestPki& pki = test_pki();
        IPC_MSG__SA_TLS_FILES files;
        files.ca_file = make_shared_string(pki.path("ca.pem"));
        files.key_file = make_shared_string(pki.path("server.key"));
        files.cert_file = make_shared_string(pki.path("server.pem"));
        files.ap_cert_dir = make_shared_string(pki.ap_cert_dir());
        EXPECT_EQ(service.client.send(files), IPC_OK);
        EXPECT_EQ(service.client.send(IPC_MSG__INCOMING_CONNECTIONS{}), IPC_OK);
        EXPECT_EQ(service.proc.wait_exit(20s), 0) << service.proc.stderr_text();
        const std::string err = service.proc.stderr_text();
        const std::string starting =
            "Starting https endpoint on port " + std::to_string(taken) +
            (endpoint.authorized ? " LwsServerAuthorized" : " LwsServerFree");
        EXPECT_EQ(count(err, starting), 5) << err;
        EXPECT_EQ(count(err, "Failed to create vhost <https>"), 5) << err;
    }
}

}  // namespace
