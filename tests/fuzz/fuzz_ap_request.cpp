// Any request body: parsed or refused, never a crash, a leak or a record with
// an invalid MAC.

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "registry/ap_request.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Trace lines are formatted as in service but written to /dev/null.
    char path[] = "/tmp/dor-fuzz-trace-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    const std::string config = R"({"output": "/dev/null"})";
    if (write(fd, config.data(), config.size()) != static_cast<ssize_t>(config.size())) {
        std::abort();
    }
    close(fd);
    setenv("DOR_TRACE_CONFIG", path, 1);
    Trace::global_init("fuzz");
    unlink(path);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    const auto params = parse_json_ap_request(body);
    if (params && !params->mac.valid)
        std::abort();
    return 0;
}
