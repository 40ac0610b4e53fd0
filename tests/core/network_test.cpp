#include "kitbase/core/network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kitbase/core/registry.h"
#include "kitbase/platform/netinfo.h"
#include "kitbase/platform/registry_store.h"
#include "kitbase/platform/winsock_com.h"

namespace {

using kitbase::AdapterInfo;

// A fake adapter table.
class FakeAdapters : public kitbase::AdapterSource {
public:
    bool adapters(std::vector<AdapterInfo>& out) override {
        out = table;
        return ok;
    }
    std::vector<AdapterInfo> table;
    bool ok = true;
};

AdapterInfo adapter(const std::string& ip, const std::string& gateway,
                    std::vector<unsigned char> mac = {0, 0, 0, 0, 0, 0}) {
    AdapterInfo a;
    a.name = "eth";
    a.ipAddress = ip;
    a.gateway = gateway;
    for (size_t i = 0; i < mac.size(); ++i)
        a.mac[i] = mac[i];
    a.macLength = static_cast<unsigned int>(mac.size());
    return a;
}

class NetworkTest : public ::testing::Test {
protected:
    void SetUp() override { kitbase::setAdapterSource(&fake_); }
    void TearDown() override {
        kitbase::setAdapterSource(nullptr);
        kitbase::setIpv4Resolver(nullptr);
    }
    FakeAdapters fake_;
};

TEST_F(NetworkTest, MainAddressIsTheFirstAdapterWithAGateway) {
    struct Case {
        std::vector<AdapterInfo> table;
        std::wstring expected;
    };
    const Case cases[] = {
        {{adapter("10.0.0.5", "0.0.0.0")}, L""},
        {{adapter("10.0.0.5", "0.0.0.0"), adapter("192.0.2.7", "192.0.2.1")}, L"192.0.2.7"},
        {{adapter("198.51.100.2", "198.51.100.1"), adapter("192.0.2.7", "192.0.2.1")}, L"198.51.100.2"},
        {{}, L""},
    };
    for (const Case& c : cases) {
        fake_.table = c.table;
        EXPECT_EQ(getMainIPAddress(), c.expected);
        EXPECT_EQ(getIPAddress(), c.expected);
    }
    fake_.table = {adapter("192.0.2.7", "192.0.2.1")};
    fake_.ok = false;
    EXPECT_EQ(getMainIPAddress(), L"");
}

TEST_F(NetworkTest, MacIsRetriedUntilKnownAndThenKept) {
    fake_.ok = false;
    EXPECT_EQ(getMACA(), "");
    EXPECT_EQ(getMAC(), L"");
    fake_.ok = true;
    fake_.table = {adapter("0.0.0.0", "0.0.0.0", {0x0a, 0x1b, 0x2c, 0xd3, 0xe4, 0xff}),
                   adapter("10.0.0.1", "10.0.0.254", {1, 2, 3, 4, 5, 6})};
    EXPECT_EQ(getMACA(), "0A:1B:2C:D3:E4:FF");
    EXPECT_EQ(getMAC(), L"0A:1B:2C:D3:E4:FF");
    fake_.table = {adapter("10.0.0.1", "10.0.0.254", {1, 2, 3, 4, 5, 6})};
    EXPECT_EQ(getMACA(), "0A:1B:2C:D3:E4:FF");
    EXPECT_EQ(getMAC(), L"0A:1B:2C:D3:E4:FF");
}

TEST_F(NetworkTest, ComputerAndHostName) {
    const std::wstring host = getHostname();
    ASSERT_FALSE(host.empty());
    const std::wstring& computer = getComputerName();
    EXPECT_FALSE(computer.empty());
    EXPECT_EQ(host.substr(0, host.find(L'.')), computer);
    EXPECT_EQ(&getComputerName(), &computer);
}

TEST(GetDomainTest, CutsSchemeAndPath) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"https://update.example.com:8443/update/idx/a.idx", L"update.example.com:8443"},
        {L"http://host.example/", L"host.example"},
        {L"host.example/path/x", L"host.example"},
        {L"host.example", L"host.example"},
        {L"ftp://h", L"h"},
        {L"", L""},
    };
    for (const auto& [url, host] : cases)
        EXPECT_EQ(getDomain(url), host) << url;
}

bool fakeResolver(const std::string& host, std::string& address) {
    if (host == "known.example") {
        address = "192.0.2.44";
        return true;
    }
    return false;
}

TEST_F(NetworkTest, AddressOfAUrlsHost) {
    kitbase::setIpv4Resolver(fakeResolver);
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"http://known.example/a/b", L"192.0.2.44"},
        {L"https://known.example:8443/x", L"192.0.2.44"},  // resolved without the port
        {L"http://unknown.example/x", L"unknown.example"},
        {L"http://unknown.example:81/x", L"unknown.example:81"},
    };
    for (const auto& [url, expected] : cases)
        EXPECT_EQ(getIPAddress(url), expected) << url;

    // The real resolver, with numeric names only: no name server is ever asked.
    kitbase::setIpv4Resolver(nullptr);
    EXPECT_EQ(getIPAddress(L"http://127.0.0.1:2004/x"), L"127.0.0.1");
    EXPECT_EQ(getIPAddress(L"127.0.0.2"), L"127.0.0.2");
}

// A loopback server that answers one connection with the given pieces (each after its
// delay in ms) and then closes it, or keeps it open without a word (stall).
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<std::pair<int, std::string>> pieces, bool stall = false)
        : pieces_(std::move(pieces)), stall_(stall) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 4);
        socklen_t size = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    std::string port() const { return std::to_string(port_); }
    std::string request() {
        std::lock_guard<std::mutex> guard(lock_);
        return request_;
    }

private:
    bool readable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }
    void serve() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!stop_ && !readable(listener_, 20))
            if (std::chrono::steady_clock::now() > deadline)
                return;
        if (stop_)
            return;
        int c = accept(listener_, nullptr, nullptr);
        if (c < 0)
            return;
        char buffer[1024];
        if (readable(c, 2000)) {
            ssize_t n = recv(c, buffer, sizeof buffer, 0);
            std::lock_guard<std::mutex> guard(lock_);
            request_.assign(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        }
        for (const auto& [delay, piece] : pieces_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            send(c, piece.data(), piece.size(), MSG_NOSIGNAL);
        }
        while (stall_ && !stop_)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        close(c);
    }

    std::vector<std::pair<int, std::string>> pieces_;
    bool stall_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::string request_;
    std::thread thread_;
};

const std::string kHeaders = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nServer: test\r\n\r\n";

struct IpifyCase {
    const char* name;
    std::vector<std::pair<int, std::string>> pieces;
    int result;
    std::string address;
};

TEST(IpifyTest, AnswersOfTheLookupService) {
    const IpifyCase cases[] = {
        {"ipv4", {{0, kHeaders + "203.0.113.7"}}, 0, "203.0.113.7"},
        {"ipv6 canonical", {{0, kHeaders + "2001:DB8:0:0:0:0:0:1"}}, 0, "2001:db8::1"},
        {"split reply",
         {{0, "HTTP/1.1 200"}, {100, " OK\r\n\r\n"}, {100, "198.51.100.9"}},
         0,
         "198.51.100.9"},
        {"not found", {{0, "HTTP/1.1 404 Not Found\r\n\r\n203.0.113.7"}}, -1, ""},
        {"garbage body", {{0, kHeaders + "<html>hello</html>"}}, -1, ""},
        {"no blank line", {{0, "HTTP/1.1 200 OK\r\n203.0.113.7"}}, -1, ""},
        {"empty reply", {}, -1, ""},
        {"oversized reply", {{0, kHeaders + std::string(600, 'x')}}, -1, ""},
    };
    setPublicIPTimeout(5000);
    for (const IpifyCase& c : cases) {
        ScriptedServer server(c.pieces);
        setPublicIPService("127.0.0.1", server.port());
        char out[64];
        std::memset(out, 'z', sizeof out);
        EXPECT_EQ(ipify(out, sizeof out), c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(std::string(out), c.address) << c.name;
        }
        EXPECT_EQ(server.request(), "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n") << c.name;
    }
}

TEST(IpifyTest, WideFormAndBufferLimits) {
    {
        ScriptedServer server({{0, kHeaders + "2001:db8::1"}});
        setPublicIPService("127.0.0.1", server.port());
        char small[6] = {};
        EXPECT_EQ(ipify(small, sizeof small), -1);  // does not fit
    }
    {
        ScriptedServer server({{0, kHeaders + "203.0.113.7"}});
        setPublicIPService("127.0.0.1", server.port());
        EXPECT_EQ(getExternalIPAddress(), L"203.0.113.7");
    }
    {
        ScriptedServer server({{0, "HTTP/1.1 500 Oops\r\n\r\n"}});
        setPublicIPService("127.0.0.1", server.port());
        EXPECT_EQ(ipify(), L"");
    }
}

TEST(IpifyTest, StalledOrMissingServerIsBounded) {
    setPublicIPTimeout(300);
    {
        ScriptedServer server({{0, "HTTP/1.1 200 OK\r\n"}}, true);
        setPublicIPService("127.0.0.1", server.port());
        const auto start = std::chrono::steady_clock::now();
        char out[64] = {};
        EXPECT_EQ(ipify(out, sizeof out), -1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
    // Nobody listens on the port.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    close(s);
    setPublicIPService("127.0.0.1", std::to_string(ntohs(address.sin_port)));
    char out[64] = {};
    EXPECT_EQ(ipify(out, sizeof out), -1);
}

TEST(ConvertToJSONTest, Cases) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"", L"{}"},
        {L"no colon here", L"{}"},
        {L"A:1\n\nno colon", L"{\"A\":\"1\"}"},
        {L"A:1\nB:2\n", L"{\"A\":\"1\",\"B\":\"2\"}"},
        {L"TIME:12:30:05", L"{\"TIME\":\"12:30:05\"}"},
        {L" key : value ", L"{\" key \":\" value \"}"},
        {L"A:1\nlast", L"{\"A\":\"1\"}"},
        {L"PATH:C:\\Program Files\\x", L"{\"PATH\":\"C:\\\\Program Files\\\\x\"}"},
        {L"NAME:say \"hi\"", L"{\"NAME\":\"say \\\"hi\\\"\"}"},
        {L"CR:x\r\nTAB:a\tb\nBEL:\x07", L"{\"CR\":\"x\\r\",\"TAB\":\"a\\tb\",\"BEL\":\"\\u0007\"}"},
        {L"UMLAUT:\u00e4\u20ac", L"{\"UMLAUT\":\"\u00e4\u20ac\"}"},
    };
    for (const auto& [text, json] : cases)
        EXPECT_EQ(convertToJSON(text), json);
}

TEST(InitWSATest, FirstObjectStartsLastObjectCleansUp) {
    EXPECT_EQ(Init_WSA::clients.load(), 0u);
    auto* first = new Init_WSA;
    {
        Init_WSA second;
        EXPECT_EQ(Init_WSA::clients.load(), 2u);
        EXPECT_TRUE(Init_WSA::initialized.load());
        EXPECT_EQ(kitbase::winsockStartups(), 1);
    }
    EXPECT_TRUE(Init_WSA::initialized.load());
    EXPECT_EQ(kitbase::winsockStartups(), 1);
    delete first;
    EXPECT_FALSE(Init_WSA::initialized.load());
    EXPECT_EQ(kitbase::winsockStartups(), 0);
    // A peer that closes its end never kills the process.
    struct sigaction current {};
    sigaction(SIGPIPE, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
}

TEST(InitWSATest, FailedStartUpIsRetriedByTheNextObject) {
    kitbase::failNextWinsockStartups(1, 10091);
    {
        Init_WSA failed;
        EXPECT_FALSE(Init_WSA::initialized.load());
        Init_WSA next;
        EXPECT_TRUE(Init_WSA::initialized.load());
        EXPECT_EQ(Init_WSA::clients.load(), 2u);
    }
    EXPECT_EQ(kitbase::winsockStartups(), 0);
}

// Presents the machine as the given Windows 10 build and edition.
void presentWindows(const std::wstring& build, const std::wstring& installationType) {
    Registry key;
    ASSERT_TRUE(key.Create(kitbase::kWindowsVersionKey));
    ASSERT_EQ(key.setStringValue(L"CurrentVersion", L"6.3"), 0);
    ASSERT_EQ(key.setStringValue(L"CurrentBuild", build), 0);
    ASSERT_EQ(key.setStringValue(L"InstallationType", installationType), 0);
}

TEST(COMInitTest, InitialisesTheCallingThreadForItsScope) {
    presentWindows(L"17763", L"Client");
    {
        COMInit outer;
        EXPECT_FALSE(outer.shouldNotRun);
        EXPECT_EQ(kitbase::comInitializations(), 1);
        COMInit inner;  // the flag is set: nothing more
        EXPECT_EQ(kitbase::comInitializations(), 1);
        // Another thread's scope initialises that thread, not ours.
        std::thread([] {
            COMInit other;
            EXPECT_EQ(kitbase::comInitializations(), 1);
        }).join();
    }
    EXPECT_EQ(kitbase::comInitializations(), 0);
}

TEST(COMInitTest, ChangedModeLeavesNothingToRelease) {
    presentWindows(L"17763", L"Client");
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
        COMInit scope;
        EXPECT_EQ(kitbase::comInitializations(), 1);
    }
    EXPECT_EQ(kitbase::comInitializations(), 1);  // only our own initialisation is left
    CoUninitialize();

    // A thread already in the same mode: the extra reference is given back at once.
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    {
        COMInit scope;
        EXPECT_EQ(kitbase::comInitializations(), 1);
    }
    EXPECT_EQ(kitbase::comInitializations(), 1);
    CoUninitialize();
}

TEST(COMInitTest, ServerAndNewerWindowsNeverInitialise) {
    for (const auto& [build, type] : {std::pair<std::wstring, std::wstring>{L"17763", L"Server"},
                                      std::pair<std::wstring, std::wstring>{L"18323", L"Client"}}) {
        presentWindows(build, type);
        COMInit scope;
        EXPECT_TRUE(scope.shouldNotRun);
        EXPECT_EQ(kitbase::comInitializations(), 0);
    }
}

}  // namespace
