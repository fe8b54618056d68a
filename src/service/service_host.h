#pragma once
// The protocol wired to the core supervisor and the log file: what the service's pipe thread
// serves.

namespace zelto {

class ProtocolHost;

ProtocolHost& service_protocol_host();

}  // namespace zelto
