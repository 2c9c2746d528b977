// The real dor_sa under its supervisor: a server whose port is taken fails
// after five attempts and the service ends with status 0.

#include <gtest/gtest.h>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/messages.h"
#include "tests/app/subprocess.h"
#include "tests/https/https_bed.h"

namespace {

using namespace std::chrono_literals;

TEST(HttpsProcess, ServerOnATakenPortFailsAndTheServiceEnds) {
    const TestPki& pki = test_pki();
    for (const Endpoint& endpoint : kEndpoints) {
        SCOPED_TRACE(endpoint.label);
        const uint32_t base = free_port_pair(), taken = endpoint.authorized ? base + 1 : base;
        PortTaker taker(taken);
        TempDir dir;
        Subprocess proc({DOR_SUPERVISOR_BINARY,
                         {"dor-supervisor", "--service", DOR_SA_BINARY},
                         {{"DOR_IPC_DIR", dir.path()}},
                         {"DOR_SUPERVISOR", "DOR_SUPERVISOR_FD"}});
        ASSERT_TRUE(proc.wait_for_stderr("dor_sa ready", 10s)) << proc.stderr_text();
        IpcClient client;
        ASSERT_TRUE(client.connect(dir.path(), SA_PORT_ID, nullptr));
        // The controller's configuration: ports, TLS files, then admission on.
        IPC_MSG__SA_PORTS ports;
        ports.base_port = base;
        IPC_MSG__SA_TLS_FILES files;
        files.ca_file = make_shared_string(pki.path("ca.pem"));
        files.key_file = make_shared_string(pki.path("server.key"));
        files.cert_file = make_shared_string(pki.path("server.pem"));
        files.ap_cert_dir = make_shared_string(pki.ap_cert_dir());
        EXPECT_EQ(client.send(ports), IPC_OK);
        EXPECT_EQ(client.send(files), IPC_OK);
        EXPECT_EQ(client.send(IPC_MSG__INCOMING_CONNECTIONS{}), IPC_OK);
        EXPECT_EQ(proc.wait_exit(20s), 0) << proc.stderr_text();
        const std::string err = proc.stderr_text();
        const std::string starting =
            "Starting https endpoint on port " + std::to_string(taken) +
            (endpoint.authorized ? " LwsServerAuthorized" : " LwsServerFree");
        const auto count = [&](const std::string& needle) {
            int n = 0;
            for (size_t at = err.find(needle); at != std::string::npos;
                 at = err.find(needle, at + 1)) {
                ++n;
            }
            return n;
        };
        EXPECT_EQ(count(starting), 5) << err;
        EXPECT_EQ(count("Failed to create vhost <https>"), 5) << err;
    }
}

}  // namespace
