#include "service/service_host.h"

#include "core/supervisor.h"
#include "ipc/pipe_server.h"
#include "ipc/protocol.h"
#include "log/log.h"

namespace zelto {
namespace {

class ServiceProtocolHost final : public ProtocolHost {
  public:
    ErrorText start_core(const std::string& config_path, const std::string& core_path) override {
        return zelto::start_core(config_path, core_path);
    }
    void stop_core() override { zelto::stop_core(); }
    std::optional<std::uint32_t> running_core_pid() override { return zelto::running_core_pid(); }
    // A request's lines: the pipe thread waits for them all once, before the answer.
    void log_ipc(std::string_view message) override { zelto::queue_log_ipc(message); }
};

}  // namespace

ProtocolHost& service_protocol_host() {
    static ServiceProtocolHost host;
    return host;
}

}  // namespace zelto
