// qvupdate.exe: the engine vendor's updater as we stand it in. It fetches the master
// index from the first reachable update server, downloads every engine file of the
// requested modules whose digest differs from the copy in the install folder, checks
// each download against the index and puts it in place by a rename.
//
//   qvupdate.exe [-C <config> | --no-config] --internet-srvs=<url>[,<url>...]
//       [--no-cert-verify] [--no-host-check] --master-file=<path> [--product-file=<path>]
//       [--update-modules-list=VDF,AVE2] [--temp-dir=<folder>] [--system-proxy]
//       [--proxy-host=<host>] [--proxy-port=<port>] [--proxy-username=<user>]
//       [--proxy-password=<password>] [--check-product] --install-dir=<folder> [--log=<file>]
//
// The master index ("QVUPDATE 1", then "file <module> <name> <sha-256> <size>" lines)
// lies at <server><master-file>; the files at <server>/files/<name>. A copy of the
// index is kept in the install folder as "master.idx".
//
// Exit codes: 0 files were updated, 1 nothing to update, 255 failure (see the log).
#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kUpdated = 0, kNothingNew = 1, kFailed = 255;

struct Options {
    std::vector<std::string> servers;
    std::string masterFile, tempDir = "/tmp", installDir, logFile;
    std::string proxyHost, proxyPort, proxyUser, proxyPassword;
    std::set<std::string> modules{"VDF", "AVE2"};
    bool noCertVerify = false, noHostCheck = false, systemProxy = false;
};

FILE* g_log = nullptr;

void log(const std::string& text) {
    FILE* out = g_log ? g_log : stderr;
    char stamp[32];
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    fprintf(out, "%s %s\n", stamp, text.c_str());
    fflush(out);
}

std::vector<std::string> splitAt(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep))
        if (!part.empty())
            out.push_back(part);
    return out;
}

bool startsWith(const std::string& s, const std::string& prefix, std::string& rest) {
    if (s.compare(0, prefix.size(), prefix) != 0)
        return false;
    rest = s.substr(prefix.size());
    return true;
}

bool parse(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i], v;
        if (a == "-C") {
            if (++i >= argc) {
                error = "-C needs a file";
                return false;
            }
            if (access(argv[i], R_OK) != 0) {
                error = std::string("cannot read the configuration file ") + argv[i];
                return false;
            }
        } else if (a == "--no-config" || a == "--check-product") {
        } else if (startsWith(a, "--internet-srvs=", v)) {
            o.servers = splitAt(v, ',');
        } else if (a == "--no-cert-verify") {
            o.noCertVerify = true;
        } else if (a == "--no-host-check") {
            o.noHostCheck = true;
        } else if (startsWith(a, "--master-file=", v)) {
            o.masterFile = v;
        } else if (startsWith(a, "--product-file=", v)) {
        } else if (startsWith(a, "--update-modules-list=", v)) {
            auto list = splitAt(v, ',');
            o.modules = std::set<std::string>(list.begin(), list.end());
        } else if (startsWith(a, "--temp-dir=", v)) {
            o.tempDir = v;
        } else if (a == "--system-proxy") {
            o.systemProxy = true;
        } else if (startsWith(a, "--proxy-host=", v)) {
            o.proxyHost = v;
        } else if (startsWith(a, "--proxy-port=", v)) {
            o.proxyPort = v;
        } else if (startsWith(a, "--proxy-username=", v)) {
            o.proxyUser = v;
        } else if (startsWith(a, "--proxy-password=", v)) {
            o.proxyPassword = v;
        } else if (startsWith(a, "--install-dir=", v)) {
            o.installDir = v;
        } else if (startsWith(a, "--log=", v)) {
            o.logFile = v;
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    if (o.servers.empty() || o.masterFile.empty() || o.installDir.empty()) {
        error = "--internet-srvs, --master-file and --install-dir are needed";
        return false;
    }
    return true;
}

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* out = static_cast<std::string*>(user);
    // Engine files are small; anything past 256 MiB is no engine file.
    if (out->size() + size * count > (256u << 20))
        return 0;
    out->append(data, size * count);
    return size * count;
}

// One GET; true with the body on HTTP 200.
bool fetch(const Options& o, const std::string& url, std::string& body) {
    CURL* curl = curl_easy_init();
    if (!curl)
        return false;
    body.clear();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 300L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    if (o.noCertVerify)
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    if (o.noHostCheck)
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    if (!o.proxyHost.empty()) {
        curl_easy_setopt(curl, CURLOPT_PROXY, o.proxyHost.c_str());
        if (!o.proxyPort.empty())
            curl_easy_setopt(curl, CURLOPT_PROXYPORT, strtol(o.proxyPort.c_str(), nullptr, 10));
        if (!o.proxyUser.empty())
            curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, o.proxyUser.c_str());
        if (!o.proxyPassword.empty())
            curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, o.proxyPassword.c_str());
    } else if (!o.systemProxy) {
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    }
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) {
        log("cannot fetch " + url + ": " + curl_easy_strerror(rc));
        return false;
    }
    if (status != 200) {
        log("cannot fetch " + url + ": HTTP " + std::to_string(status));
        return false;
    }
    return true;
}

std::string sha256(const std::string& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), md, &n, EVP_sha256(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return !in.bad();
}

// Writes a new file beside `path` and renames it over `path`.
bool writeInPlace(const std::string& path, const std::string& data) {
    std::string temp = path + ".qvupdate";
    unlink(temp.c_str());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
            close(fd);
            unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

struct Entry {
    std::string module, name, digest;
    unsigned long long size = 0;
};

bool parseIndex(const std::string& text, std::vector<Entry>& entries) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line.rfind("QVUPDATE 1", 0) != 0)
        return false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string kind;
        Entry e;
        if (!(words >> kind >> e.module >> e.name >> e.digest >> e.size) || kind != "file")
            return false;
        // A bare file name only: nothing is written outside the install folder.
        if (e.name.empty() || e.name == "." || e.name == ".." || e.name.find('/') != std::string::npos)
            return false;
        entries.push_back(e);
    }
    return true;
}

int run(const Options& o) {
    struct stat st {};
    if (stat(o.installDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        log("the install folder " + o.installDir + " does not exist");
        return kFailed;
    }
    for (const auto& server : o.servers) {
        std::string index;
        log("asking " + server);
        if (!fetch(o, server + o.masterFile, index))
            continue;
        std::vector<Entry> entries;
        if (!parseIndex(index, entries)) {
            log("the master index of " + server + " is damaged");
            continue;
        }
        int changed = 0;
        bool failed = false;
        for (const auto& e : entries) {
            if (!o.modules.count(e.module))
                continue;
            std::string local, target = o.installDir + "/" + e.name;
            if (readFile(target, local) && sha256(local) == e.digest)
                continue;
            std::string body;
            if (!fetch(o, server + "/files/" + e.name, body)) {
                failed = true;
                break;
            }
            if (body.size() != e.size || sha256(body) != e.digest) {
                log("the download of " + e.name + " does not match the master index");
                failed = true;
                break;
            }
            if (!writeInPlace(target, body)) {
                log("cannot write " + target + ": " + strerror(errno));
                return kFailed;
            }
            log("updated " + e.name);
            ++changed;
        }
        if (failed)
            continue;
        if (!writeInPlace(o.installDir + "/master.idx", index)) {
            log("cannot write the master index: " + std::string(strerror(errno)));
            return kFailed;
        }
        log(changed ? "updated " + std::to_string(changed) + " files" : "nothing to update");
        return changed ? kUpdated : kNothingNew;
    }
    log("no update server could be used");
    return kFailed;
}

}  // namespace

int main(int argc, char** argv) {
    // The log is opened first, so that even a bad command line is reported in it.
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "--log=", 6) == 0)
            g_log = fopen(argv[i] + 6, "ae");
    Options o;
    std::string error;
    bool ok = parse(argc, argv, o, error);
    if (!ok) {
        log("qvupdate: " + error);
        return kFailed;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int result = run(o);
    curl_global_cleanup();
    if (g_log)
        fclose(g_log);
    return result;
}
