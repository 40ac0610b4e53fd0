#pragma once
// The machine's network adapters and host-name resolution. The adapter table comes
// from getifaddrs (names, IPv4 addresses, hardware addresses) and /proc/net/route
// (default gateways); loopback adapters are left out. Tests replace the table source
// and the resolver with fakes of their own.
#include <array>
#include <string>
#include <vector>

#include "kitbase/export.h"

namespace kitbase {

struct AdapterInfo {
    std::string name;
    // Text of the adapter's first IPv4 address, "0.0.0.0" when it has none.
    std::string ipAddress = "0.0.0.0";
    // Text of the adapter's first default gateway, "0.0.0.0" when it has none.
    std::string gateway = "0.0.0.0";
    // The hardware address; `macLength` bytes of it are valid (6 for Ethernet).
    std::array<unsigned char, 8> mac{};
    unsigned int macLength = 0;
};

class KITBASE_API AdapterSource {
public:
    virtual ~AdapterSource();
    // Fills the table in the system's adapter order; false when the table cannot be
    // read (the last error tells why).
    virtual bool adapters(std::vector<AdapterInfo>& out) = 0;
};

// The machine's own table.
KITBASE_API AdapterSource& systemAdapterSource();
// The source the library reads; replaced for tests (nullptr restores the machine's).
// The replacement must outlive its use.
KITBASE_API void setAdapterSource(AdapterSource* source);
KITBASE_API bool getAdapters(std::vector<AdapterInfo>& out);

// Resolves a host name to the text of its first IPv4 address; false when the name
// does not resolve. The default resolver is getaddrinfo; tests may replace it
// (nullptr restores the default).
using Ipv4Resolver = bool (*)(const std::string& host, std::string& address);
KITBASE_API bool resolveIpv4(const std::string& host, std::string& address);
KITBASE_API void setIpv4Resolver(Ipv4Resolver resolver);

}  // namespace kitbase
