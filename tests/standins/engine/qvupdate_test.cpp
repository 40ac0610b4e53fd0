// The stand-in updater against an update server on loopback.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/spawner.h"
#include "support/test_root.h"

using testsupport::makeTempDir;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

std::string sha256(const std::string& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), md, &n, EVP_sha256(), nullptr);
    std::string out;
    char hex[3];
    for (unsigned int i = 0; i < n; ++i) {
        snprintf(hex, sizeof hex, "%02x", md[i]);
        out += hex;
    }
    return out;
}

// Serves /update/idx/master.idx and /update/files/<name> from what the test puts in.
class UpdateServer {
public:
    UpdateServer() {
        server_.Get(R"(/update/idx/master.idx)", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard<std::mutex> g(lock_);
            res.set_content(index_, "text/plain");
        });
        server_.Get(R"(/update/files/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> g(lock_);
            auto it = files_.find(req.matches[1]);
            if (it == files_.end()) {
                res.status = 404;
                return;
            }
            res.set_content(it->second, "application/octet-stream");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~UpdateServer() {
        server_.stop();
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/update"; }
    // Publishes files: the index lists each with its digest (or a wrong one).
    void publish(const std::map<std::string, std::string>& files, const std::string& wrongDigestFor = "",
                 const std::string& extraLine = "") {
        std::lock_guard<std::mutex> g(lock_);
        files_ = files;
        index_ = "QVUPDATE 1\n";
        for (const auto& [name, content] : files) {
            std::string module = name.size() > 4 && name.substr(name.size() - 4) == ".vdf" ? "VDF" : "AVE2";
            std::string digest = name == wrongDigestFor ? std::string(64, '0') : sha256(content);
            index_ +=
                "file " + module + " " + name + " " + digest + " " + std::to_string(content.size()) + "\n";
        }
        index_ += extraLine;
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex lock_;
    std::string index_;
    std::map<std::string, std::string> files_;
};

class QvupdateTest : public ::testing::Test {
protected:
    std::string install = makeTempDir("latest");
    std::string log = makeTempDir("logs") + "/qvupdate.log";

    DWORD run(const std::string& servers, const std::string& extra = "") {
        const std::string program = kitbase::executableFolder() + "/Scanner/qvupdate.exe";
        std::string line = "\"" + program + "\" --no-config --internet-srvs=" + servers +
                           " --master-file=/idx/master.idx --product-file=/idx/qvapi4lib-win32-en.info.gz"
                           " --update-modules-list=VDF,AVE2 --temp-dir=" +
                           makeTempDir("tmp") + extra + " --check-product --install-dir=\"" + install +
                           "\" --log=\"" + log + "\"";
        kitbase::ChildProcess child;
        if (!child.start(line) || !child.wait(30000))
            return 0xFFFF;
        return child.exitCode();
    }
};

const std::string kVdf = "QVDF 1\nversion 8.20.2.0\npattern T t malware 41424344\nend 1\n";

}  // namespace

TEST_F(QvupdateTest, UpdatesOnceThenFindsNothingNew) {
    UpdateServer server;
    server.publish({{"qvdefs.vdf", kVdf}, {"qvcore.dat", "QVENGINE 1\nversion 1.0.4.3\n"}});
    writeFile(install + "/qvcore.dat", "QVENGINE 1\nversion 1.0.4.3\n");  // already current
    EXPECT_EQ(run(server.url()), 0u) << readFile(log);
    EXPECT_EQ(readFile(install + "/qvdefs.vdf"), kVdf);
    EXPECT_NE(readFile(install + "/master.idx").find("qvdefs.vdf"), std::string::npos);
    EXPECT_NE(readFile(log).find("updated qvdefs.vdf"), std::string::npos);
    EXPECT_EQ(readFile(log).find("updated qvcore.dat"), std::string::npos);
    EXPECT_EQ(run(server.url()), 1u);
    // Only the modules asked for are fetched.
    server.publish({{"qvdefs.vdf", kVdf + "# newer\n"}});
    EXPECT_EQ(run(server.url(), " --update-modules-list=AVE2"), 1u);
    EXPECT_EQ(readFile(install + "/qvdefs.vdf"), kVdf);
}

TEST_F(QvupdateTest, ADownloadThatDoesNotMatchTheIndexChangesNothing) {
    UpdateServer server;
    writeFile(install + "/qvdefs.vdf", "old");
    server.publish({{"qvdefs.vdf", kVdf}}, "qvdefs.vdf");
    EXPECT_EQ(run(server.url()), 255u);
    EXPECT_EQ(readFile(install + "/qvdefs.vdf"), "old");
    // A name that leaves the install folder makes the index unusable.
    server.publish({{"qvdefs.vdf", kVdf}}, "", "file VDF ../escape.vdf " + sha256("x") + " 1\n");
    EXPECT_EQ(run(server.url()), 255u);
    EXPECT_EQ(readFile(install + "/qvdefs.vdf"), "old");
}

TEST_F(QvupdateTest, TheNextServerIsAskedWhenOneCannotBeUsed) {
    UpdateServer server;
    server.publish({{"qvdefs.vdf", kVdf}});
    EXPECT_EQ(run("http://127.0.0.1:1/update," + server.url()), 0u) << readFile(log);
    EXPECT_EQ(readFile(install + "/qvdefs.vdf"), kVdf);
    EXPECT_EQ(run("http://127.0.0.1:1/update"), 255u);
}

TEST_F(QvupdateTest, BadCommandLinesFail) {
    EXPECT_EQ(run("http://127.0.0.1:1/update", " --bogus"), 255u);
    EXPECT_NE(readFile(log).find("unknown option --bogus"), std::string::npos);
    EXPECT_EQ(run("http://127.0.0.1:1/update", " -C /no/such/file.cfg"), 255u);
}
