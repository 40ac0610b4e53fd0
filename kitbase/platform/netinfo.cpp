#include "kitbase/platform/netinfo.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

// Default gateways per interface name, in the route table's order.
std::map<std::string, std::string> defaultGateways() {
    std::map<std::string, std::string> result;
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);  // header
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway;
        unsigned int flags = 0;
        if (!(fields >> iface >> destination >> gateway >> std::hex >> flags))
            continue;
        if (destination != "00000000" || !(flags & RTF_UP) || !(flags & RTF_GATEWAY))
            continue;
        // The route table writes addresses as the hexadecimal of the in-memory value.
        in_addr address{};
        address.s_addr = static_cast<in_addr_t>(std::strtoul(gateway.c_str(), nullptr, 16));
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &address, text, sizeof text))
            result.emplace(iface, text);
    }
    return result;
}

class SystemAdapterSource : public AdapterSource {
public:
    bool adapters(std::vector<AdapterInfo>& out) override {
        out.clear();
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) != 0) {
            setLastErrorFromErrno();
            return false;
        }
        // Adapters in interface-index order; each gets its first IPv4 address and its
        // hardware address.
        std::map<unsigned int, AdapterInfo> byIndex;
        for (ifaddrs* a = list; a; a = a->ifa_next) {
            if (!a->ifa_name || (a->ifa_flags & IFF_LOOPBACK))
                continue;
            unsigned int index = if_nametoindex(a->ifa_name);
            if (index == 0)
                continue;
            AdapterInfo& info = byIndex[index];
            info.name = a->ifa_name;
            if (!a->ifa_addr)
                continue;
            if (a->ifa_addr->sa_family == AF_INET && info.ipAddress == "0.0.0.0") {
                char text[INET_ADDRSTRLEN] = {};
                const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
                if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
                    info.ipAddress = text;
            } else if (a->ifa_addr->sa_family == AF_PACKET) {
                const auto* ll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
                info.macLength = std::min<unsigned int>(ll->sll_halen, info.mac.size());
                std::memcpy(info.mac.data(), ll->sll_addr, info.macLength);
            }
        }
        freeifaddrs(list);
        const auto gateways = defaultGateways();
        for (auto& [index, info] : byIndex) {
            auto it = gateways.find(info.name);
            if (it != gateways.end())
                info.gateway = it->second;
            out.push_back(info);
        }
        return true;
    }
};

std::atomic<AdapterSource*> g_source{nullptr};
std::atomic<Ipv4Resolver> g_resolver{nullptr};

bool systemResolveIpv4(const std::string& host, std::string& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result)
        return false;
    bool found = false;
    for (addrinfo* r = result; r && !found; r = r->ai_next) {
        if (r->ai_family != AF_INET || !r->ai_addr)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(r->ai_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
            address = text;
            found = true;
        }
    }
    freeaddrinfo(result);
    return found;
}

}  // namespace

AdapterSource::~AdapterSource() = default;

AdapterSource& systemAdapterSource() {
    static SystemAdapterSource source;
    return source;
}

void setAdapterSource(AdapterSource* source) {
    g_source.store(source);
}

bool getAdapters(std::vector<AdapterInfo>& out) {
    AdapterSource* source = g_source.load();
    return (source ? *source : systemAdapterSource()).adapters(out);
}

bool resolveIpv4(const std::string& host, std::string& address) {
    Ipv4Resolver resolver = g_resolver.load();
    return resolver ? resolver(host, address) : systemResolveIpv4(host, address);
}

void setIpv4Resolver(Ipv4Resolver resolver) {
    g_resolver.store(resolver);
}

}  // namespace kitbase
