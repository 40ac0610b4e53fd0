// Detection speed of the stand-in engine on a generated tree of real files:
//   - one on-demand pass through the service's engine wrapper (one thread);
//   - open and read of the tree by 1 and by 8 reader processes, without protection
//     and while the engine watches the tree on access (needs the privilege to watch
//     file opens), a first pass and a second pass over the unchanged files.
// Usage: qvbench [source folder (default /usr/include)] [file count (default 8000)]
//                [signature count (default 2000)]
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/fanotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/utf8.h"
#include "scanwarden/qvapi_interface.h"
#ifdef QVBENCH_WITH_SCANNER
#include "scanwarden/options.h"
#include "scanwarden/qvapi_scanner.h"
#include "scanwarden/scan_record.h"
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

std::atomic<int> detections{0};

int32_t onStatus(QVAPI_CALLBACK_DATA* data) {
    auto* status = static_cast<QVAPI_FILE_STATUS_DATA*>(data->type_data);
    if (status->scan_answer == QVAPI_SCAN_ANSWER_MALWARE ||
        status->scan_answer == QVAPI_SCAN_ANSWER_SUSPICIOUS) {
        detections++;
        if (data->user_data)
            *static_cast<int*>(data->user_data) = 1;  // this instance's file is bad
    }
    return 0;
}

// The verdict: deny what the status report of the same instance found.
int32_t onVerdict(QVAPI_CALLBACK_DATA* data) {
    int* found = static_cast<int*>(data->user_data);
    int verdict = (found && *found) ? QVAPI_OA_DENY : QVAPI_OA_ALLOW;
    if (found)
        *found = 0;
    return verdict;
}

QVAPI_register_callback_t registerCallback = nullptr;
QVAPI_set_user_data_t setUserData = nullptr;
QVAPI_set_t setOption = nullptr;

int32_t onCreated(QVAPI_INSTANCE instance) {
    setUserData(instance, new int(0));
    registerCallback(instance, QVAPI_CALLBACK_REPORT_FILE_STATUS, &onStatus);
    registerCallback(instance, QVAPI_CALLBACK_OA_FILE_STATUS, &onVerdict);
    return setOption(instance, QVAPI_OPTION_ARCHIVE_SCAN, L"0");
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::vector<std::string> makeTree(const std::string& source, const std::string& tree, size_t count) {
    std::vector<std::string> files;
    for (auto it = fs::recursive_directory_iterator(source, fs::directory_options::skip_permission_denied);
         it != fs::recursive_directory_iterator() && files.size() < count; ++it) {
        if (!it->is_regular_file() || it->is_symlink())
            continue;
        fs::path target = fs::path(tree) / fs::relative(it->path(), source);
        fs::create_directories(target.parent_path());
        std::error_code ec;
        fs::copy_file(it->path(), target, fs::copy_options::overwrite_existing, ec);
        if (!ec)
            files.push_back(target.string());
    }
    std::ofstream(tree + "/eicar.com", std::ios::binary) << kEicar;
    files.push_back(tree + "/eicar.com");
    return files;
}

void writeSignatures(const std::string& folder, size_t count) {
    std::mt19937 random(12345);
    std::ofstream out(folder + "/bench.vdf");
    out << "QVDF 1\nversion 9.0.0.1\ndate 2024-01-01\n";
    static const char* hex = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        size_t length = 16 + random() % 33;
        std::string bytes;
        for (size_t k = 0; k < length; ++k) {
            unsigned b = random() & 0xFF;
            bytes += hex[b >> 4];
            bytes += hex[b & 15];
        }
        out << "pattern Bench.Sig" << i << " bench malware " << bytes << "\n";
    }
    std::string eicarHex;
    for (unsigned char c : kEicar)
        eicarHex += std::string{hex[c >> 4], hex[c & 15]};
    out << "pattern Eicar-Test-Signature test malware " << eicarHex << "\nend " << count + 1 << "\n";
}

// Opens and reads `files` with `readers` processes (each a share); returns the time
// and the number of opens that were refused.
std::pair<double, int> readTree(const std::vector<std::string>& files, int readers) {
    auto start = Clock::now();
    std::vector<pid_t> children;
    for (int r = 0; r < readers; ++r) {
        pid_t pid = fork();
        if (pid == 0) {
            static char buffer[64 * 1024];
            int refused = 0;
            for (size_t i = static_cast<size_t>(r); i < files.size(); i += static_cast<size_t>(readers)) {
                int fd = open(files[i].c_str(), O_RDONLY);
                if (fd < 0) {
                    refused += errno == EPERM;
                    continue;
                }
                while (read(fd, buffer, sizeof buffer) > 0) {
                }
                close(fd);
            }
            _exit(refused);
        }
        children.push_back(pid);
    }
    int refused = 0;
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status))
            refused += WEXITSTATUS(status);
    }
    return {seconds(Clock::now() - start), refused};
}

// The floor: what fanotify itself costs on this machine. A responder that allows every
// open of the watched mount at once, either one thread that spins between events or a
// pool of threads that sleep (each with its own wait set, so one wakes per event).
class AllowAllResponder {
public:
    AllowAllResponder(const std::string& folder, bool spinning, int threads) : spinning_(spinning) {
        fd_ = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK | FAN_UNLIMITED_QUEUE,
                            O_RDONLY | O_LARGEFILE | O_CLOEXEC);
        if (fd_ < 0 || fanotify_mark(fd_, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_PERM | FAN_OPEN_EXEC_PERM,
                                     AT_FDCWD, folder.c_str()) != 0)
            return;
        for (int i = 0; i < (spinning ? 1 : threads); ++i)
            threads_.emplace_back([this] { spinning_ ? spin() : sleep(); });
    }
    ~AllowAllResponder() {
        stop_ = true;
        if (fd_ >= 0)
            fanotify_mark(fd_, FAN_MARK_FLUSH | FAN_MARK_MOUNT, 0, AT_FDCWD, nullptr);
        for (auto& t : threads_)
            t.join();
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return !threads_.empty(); }

private:
    void respond(const char* buffer, ssize_t length) {
        auto* event = reinterpret_cast<const fanotify_event_metadata*>(buffer);
        for (; FAN_EVENT_OK(event, length); event = FAN_EVENT_NEXT(event, length)) {
            if (event->fd < 0)
                continue;
            if (event->mask & (FAN_OPEN_PERM | FAN_OPEN_EXEC_PERM)) {
                fanotify_response r{event->fd, FAN_ALLOW};
                [[maybe_unused]] ssize_t n = write(fd_, &r, sizeof r);
            }
            close(event->fd);
        }
    }
    void spin() {
        alignas(fanotify_event_metadata) char buffer[4096];
        while (!stop_) {
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0)
                respond(buffer, n);
        }
    }
    void sleep() {
        int ep = epoll_create1(EPOLL_CLOEXEC);
        epoll_event e{};
        e.events = EPOLLIN | EPOLLEXCLUSIVE;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd_, &e);
        alignas(fanotify_event_metadata) char buffer[sizeof(fanotify_event_metadata)];
        while (!stop_) {
            epoll_event out{};
            if (epoll_wait(ep, &out, 1, 100) <= 0)
                continue;
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0)
                respond(buffer, n);
        }
        close(ep);
    }
    int fd_ = -1;
    bool spinning_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// The smallest and the middle of the samples.
std::pair<double, double> minAndMedian(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples.front(), samples[samples.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
    std::string source = argc > 1 ? argv[1] : "/usr/include";
    size_t fileCount = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 8000;
    size_t sigCount = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 2000;

    char pattern[] = "/tmp/qvbench-XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    std::string work = pattern;
    setenv("KITBASE_ROOT", (work + "/root").c_str(), 1);
    fs::create_directories(work + "/root");
    std::string scanner = kitbase::executableFolder() + "/Scanner";
    std::string engine = work + "/engine", tree = work + "/tree";
    fs::create_directories(engine);
    fs::copy_file(scanner + "/engine/qvcore.dat", engine + "/qvcore.dat");
    writeSignatures(engine, sigCount);
    std::ofstream(engine + "/qvoa.conf") << "watch " << tree << "\n";
    auto files = makeTree(source, tree, fileCount);
    uintmax_t bytes = 0;
    for (auto& f : files)
        bytes += fs::file_size(f);
    std::printf("tree: %zu files, %.1f MB from %s; %zu signatures + EICAR\n", files.size(),
                double(bytes) / 1e6, source.c_str(), sigCount);
    readTree(files, 1);  // page cache warm

#ifdef QVBENCH_WITH_SCANNER
    _Options& options = _Options::instance();
    options.setOptionNumeric(L"onaccess", 0);
    options.setOptionNumeric(L"apcmode", 0);
    QVAPIScanner wrapper(&options);
    wrapper.setLibraryFolder(kitbase::utf8ToWide(scanner));
    wrapper.setScannerFolder(kitbase::utf8ToWide(scanner));
    wrapper.setEngineFolder(kitbase::utf8ToWide(engine));
    if (wrapper.initialize() != 0 || !wrapper.isLoaded()) {
        std::fprintf(stderr, "engine wrapper: initialisation failed\n");
        return 1;
    }
    QVAPI_API& api = wrapper;
    const char* via = "QVAPIScanner::scan";
#else
    struct Entries {
#define QV_ENTRY(name) name##_t name = nullptr;
        QV_ENTRY(QVAPI_initialize)
        QV_ENTRY(QVAPI_uninitialize)
        QV_ENTRY(QVAPI_create_instance) QV_ENTRY(QVAPI_release_instance) QV_ENTRY(QVAPI_set_user_data)
            QV_ENTRY(QVAPI_register_callback) QV_ENTRY(QVAPI_reload_engine_ex) QV_ENTRY(QVAPI_set)
                QV_ENTRY(QVAPI_scan) QV_ENTRY(QVAPI_OA_initialize) QV_ENTRY(QVAPI_OA_uninitialize)
                    QV_ENTRY(QVAPI_OA_create_instances) QV_ENTRY(QVAPI_OA_start_scan)
                        QV_ENTRY(QVAPI_OA_stop_scan)
#undef QV_ENTRY
    } api;
    void* library = dlopen((scanner + "/qvapi.dll").c_str(), RTLD_NOW);
    if (!library)
        return 1;
#define QV_LOOKUP(name) api.name = reinterpret_cast<name##_t>(dlsym(library, #name));
    QV_LOOKUP(QVAPI_initialize)
    QV_LOOKUP(QVAPI_uninitialize)
    QV_LOOKUP(QVAPI_create_instance) QV_LOOKUP(QVAPI_release_instance) QV_LOOKUP(QVAPI_set_user_data)
        QV_LOOKUP(QVAPI_register_callback) QV_LOOKUP(QVAPI_reload_engine_ex) QV_LOOKUP(QVAPI_set)
            QV_LOOKUP(QVAPI_scan) QV_LOOKUP(QVAPI_OA_initialize) QV_LOOKUP(QVAPI_OA_uninitialize)
                QV_LOOKUP(QVAPI_OA_create_instances) QV_LOOKUP(QVAPI_OA_start_scan)
                    QV_LOOKUP(QVAPI_OA_stop_scan)
#undef QV_LOOKUP
                        std::wstring wideEngine = kitbase::utf8ToWide(engine);
    QVAPI_GLOBAL_INIT init{5, 5, 12033, wideEngine.c_str(), wideEngine.c_str(), 0, 0};
    if (api.QVAPI_initialize(&init) != 0)
        return 1;
    const char* via = "QVAPI_scan (engine entry, no wrapper)";
#endif
    registerCallback = api.QVAPI_register_callback;
    setUserData = api.QVAPI_set_user_data;
    setOption = api.QVAPI_set;

    // On demand, one thread.
    QVAPI_INSTANCE_INIT instanceInit{};
    QVAPI_INSTANCE instance = nullptr;
    api.QVAPI_create_instance(&instanceInit, &instance);
    api.QVAPI_register_callback(instance, QVAPI_CALLBACK_REPORT_FILE_STATUS, &onStatus);
    std::vector<std::wstring> widePaths;
    for (auto& f : files)
        widePaths.push_back(kitbase::utf8ToWide(f));
    int failures = 0;
    auto start = Clock::now();
#ifdef QVBENCH_WITH_SCANNER
    ScanRecord record;
    record.instance = instance;
    for (auto& path : widePaths)
        failures += wrapper.scan(instance, &record, path) != 0;
#else
    for (auto& path : widePaths)
        failures += api.QVAPI_scan(instance, path.c_str()) != 0;
#endif
    double onDemand = seconds(Clock::now() - start);
    std::printf("on demand via %s, 1 thread: %.3f s (%.0f MB/s), %d detection(s), %d error(s)\n", via,
                onDemand, double(bytes) / 1e6 / onDemand, detections.load(), failures);
    api.QVAPI_release_instance(&instance);

    // On access: every figure is the smallest and the middle of five runs, also as a ratio
    // to unprotected reads and to the floor (the faster of the two allow-all responders).
    int probe = fanotify_init(FAN_CLASS_CONTENT, O_RDONLY);
    if (probe < 0) {
        std::printf("on access: skipped (no privilege to watch file opens)\n");
    } else {
        close(probe);
        constexpr int kRuns = 5;
        const int readerCounts[] = {1, 8};
        std::wstring wideEngine = kitbase::utf8ToWide(engine);
        QVAPI_GLOBAL_INIT again{5, 5, 12033, wideEngine.c_str(), wideEngine.c_str(), 0, 0};
        std::printf("\non access (%d runs each: min / median seconds, then x unprotected, x floor)\n", kRuns);
        std::printf("%-8s %-22s %-22s %-34s %-34s %s\n", "readers", "unprotected", "floor",
                    "engine first pass", "engine second pass", "denied");
        QVAPI_OA_INIT oa{8, 0};
        api.QVAPI_OA_initialize(&oa);
        api.QVAPI_OA_create_instances(&onCreated, nullptr);
        for (int readers : readerCounts) {
            std::vector<double> plain, floorSpin, floorPool, first, second;
            int denied = 0, deniedSecond = 0;
            for (int run = 0; run < kRuns; ++run) {
                plain.push_back(readTree(files, readers).first);
                {
                    AllowAllResponder spin(tree, true, 1);
                    floorSpin.push_back(spin.ok() ? readTree(files, readers).first : 0);
                }
                {
                    AllowAllResponder pool(tree, false, 8);
                    floorPool.push_back(pool.ok() ? readTree(files, readers).first : 0);
                }
                // A reload forgets every clean verdict: each first pass is truly cold.
                api.QVAPI_reload_engine_ex(&again);
                api.QVAPI_OA_start_scan();
                auto [f, d1] = readTree(files, readers);
                auto [s2, d2] = readTree(files, readers);
                api.QVAPI_OA_stop_scan();
                first.push_back(f);
                second.push_back(s2);
                denied += d1;
                deniedSecond += d2;
            }
            auto p = minAndMedian(plain), fs = minAndMedian(floorSpin), fp = minAndMedian(floorPool);
            auto fl = fs.first < fp.first ? fs : fp;
            auto a = minAndMedian(first), b = minAndMedian(second);
            std::printf(
                "%-8d %.3f / %.3f          %.3f / %.3f (%s)   %.3f / %.3f (x%.1f, x%.2f floor)   "
                "%.3f / %.3f (x%.2f, x%.2f floor)   %d/%d of %d\n",
                readers, p.first, p.second, fl.first, fl.second, fs.first < fp.first ? "spin" : "pool",
                a.first, a.second, a.first / p.first, a.first / fl.first, b.first, b.second,
                b.first / p.first, b.first / fl.first, denied, deniedSecond, kRuns);
        }
        api.QVAPI_OA_uninitialize();
    }
#ifndef QVBENCH_WITH_SCANNER
    api.QVAPI_uninitialize();
#endif
    fs::remove_all(work);
    return 0;
}
