// The stand-in engine seen from outside: the staged qvapi.dll is loaded by path and
// driven through its entries, as the service does.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kitbase/platform/roots.h"
#include "scanwarden/qvapi_interface.h"
#include "support/test_root.h"

namespace fs = std::filesystem;
using testsupport::makeTempDir;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}
std::string narrow(const std::wstring& s) {
    return std::string(s.begin(), s.end());
}

// The entries, looked up by name from the staged library.
struct Api {
    void* handle = nullptr;
#define QV_ENTRY(name) name##_t name = nullptr;
    QV_ENTRY(QVAPI_initialize)
    QV_ENTRY(QVAPI_uninitialize)
    QV_ENTRY(QVAPI_APC_initialize)
    QV_ENTRY(QVAPI_set_log_callback)
    QV_ENTRY(QVAPI_create_instance)
    QV_ENTRY(QVAPI_release_instance)
    QV_ENTRY(QVAPI_set_user_data)
    QV_ENTRY(QVAPI_get_user_data)
    QV_ENTRY(QVAPI_register_callback)
    QV_ENTRY(QVAPI_reload_engine_ex)
    QV_ENTRY(QVAPI_get)
    QV_ENTRY(QVAPI_set)
    QV_ENTRY(QVAPI_global_set)
    QV_ENTRY(QVAPI_scan)
    QV_ENTRY(QVAPI_OA_initialize)
    QV_ENTRY(QVAPI_OA_uninitialize)
    QV_ENTRY(QVAPI_OA_create_instances)
    QV_ENTRY(QVAPI_OA_start_scan)
    QV_ENTRY(QVAPI_OA_stop_scan)
    QV_ENTRY(QVAPI_extract_malware_names)
    QV_ENTRY(QVAPI_OA_inject_access)
#undef QV_ENTRY
};

std::string scannerFolder() {
    return kitbase::executableFolder() + "/Scanner";
}

Api& api() {
    static Api a = [] {
        Api out;
        out.handle = dlopen((scannerFolder() + "/qvapi.dll").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!out.handle)
            return out;
#define QV_LOOKUP(name) out.name = reinterpret_cast<name##_t>(dlsym(out.handle, #name));
        QV_LOOKUP(QVAPI_initialize)
        QV_LOOKUP(QVAPI_uninitialize)
        QV_LOOKUP(QVAPI_APC_initialize)
        QV_LOOKUP(QVAPI_set_log_callback)
        QV_LOOKUP(QVAPI_create_instance)
        QV_LOOKUP(QVAPI_release_instance)
        QV_LOOKUP(QVAPI_set_user_data)
        QV_LOOKUP(QVAPI_get_user_data)
        QV_LOOKUP(QVAPI_register_callback)
        QV_LOOKUP(QVAPI_reload_engine_ex)
        QV_LOOKUP(QVAPI_get)
        QV_LOOKUP(QVAPI_set)
        QV_LOOKUP(QVAPI_global_set)
        QV_LOOKUP(QVAPI_scan)
        QV_LOOKUP(QVAPI_OA_initialize)
        QV_LOOKUP(QVAPI_OA_uninitialize)
        QV_LOOKUP(QVAPI_OA_create_instances)
        QV_LOOKUP(QVAPI_OA_start_scan)
        QV_LOOKUP(QVAPI_OA_stop_scan)
        QV_LOOKUP(QVAPI_extract_malware_names)
        QV_LOOKUP(QVAPI_OA_inject_access)
#undef QV_LOOKUP
        return out;
    }();
    return a;
}

// What the callbacks saw, in order.
struct Event {
    uint32_t type;
    int32_t answer;  // type 0: scan answer; type 10: stage
    uint32_t level;
    std::string path;
    std::string malware;
    std::thread::id thread;
    QVAPI_INSTANCE instance;
    void* userData;
};

struct Recorder {
    std::mutex lock;
    std::vector<Event> events;
    std::atomic<int> verdictDelayMs{0};
    std::set<QVAPI_INSTANCE> created, destroyed;
    std::vector<Event> take() {
        std::lock_guard<std::mutex> g(lock);
        return std::move(events);
    }
    std::vector<Event> ofType(uint32_t type) {
        std::lock_guard<std::mutex> g(lock);
        std::vector<Event> out;
        for (auto& e : events)
            if (e.type == type)
                out.push_back(e);
        return out;
    }
};
Recorder recorder;

int32_t onEvent(QVAPI_CALLBACK_DATA* data) {
    Event e{data->type, 0, 0, {}, {}, std::this_thread::get_id(), data->instance, data->user_data};
    switch (data->type) {
        case QVAPI_CALLBACK_PRESCAN: {
            auto* d = static_cast<QVAPI_PRESCAN_DATA*>(data->type_data);
            e.path = narrow(d->path), e.level = d->archive_level;
            break;
        }
        case QVAPI_CALLBACK_ARCHIVE_OPEN: {
            auto* d = static_cast<QVAPI_ARCHIVE_OPEN_DATA*>(data->type_data);
            e.path = narrow(d->path), e.level = d->archive_level;
            break;
        }
        case QVAPI_CALLBACK_REPORT_FILE_STATUS: {
            auto* d = static_cast<QVAPI_FILE_STATUS_DATA*>(data->type_data);
            e.path = narrow(d->filename), e.level = d->archive_level, e.answer = d->scan_answer;
            if (d->malware_name)
                e.malware = narrow(d->malware_name);
            break;
        }
        case QVAPI_CALLBACK_REPORT_ERROR: {
            auto* d = static_cast<QVAPI_ERROR_DATA*>(data->type_data);
            e.path = narrow(d->filename), e.answer = d->code;
            break;
        }
        case QVAPI_CALLBACK_APC_SCAN: {
            auto* d = static_cast<QVAPI_APC_SCAN_DATA*>(data->type_data);
            e.path = narrow(d->path), e.answer = static_cast<int32_t>(d->stage);
            break;
        }
        case QVAPI_CALLBACK_OA_FILE_STATUS: {
            auto* d = static_cast<QVAPI_OA_FILE_STATUS_DATA*>(data->type_data);
            e.path = narrow(d->path);
            break;
        }
    }
    bool detected = false;
    {
        std::lock_guard<std::mutex> g(recorder.lock);
        if (data->type == QVAPI_CALLBACK_OA_FILE_STATUS) {
            // Deny when this file had a detection on this instance.
            for (auto& prior : recorder.events)
                if (prior.type == 0 && (prior.answer == 1 || prior.answer == 2) && prior.path == e.path &&
                    prior.instance == data->instance)
                    detected = true;
        }
        recorder.events.push_back(e);
    }
    if (data->type == QVAPI_CALLBACK_OA_FILE_STATUS) {
        if (int ms = recorder.verdictDelayMs.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return detected ? QVAPI_OA_DENY : QVAPI_OA_ALLOW;
    }
    return 0;
}

// A callback that calls back into the engine while a scan runs.
int32_t onReentrantPrescan(QVAPI_CALLBACK_DATA* data) {
    void* user = nullptr;
    api().QVAPI_get_user_data(data->instance, &user);
    api().QVAPI_set(data->instance, QVAPI_OPTION_SCAN_TIMEOUT, L"30");
    api().QVAPI_global_set(QVAPI_GLOBAL_OA_SCAN_TIMEOUT, L"20");
    api().QVAPI_register_callback(data->instance, QVAPI_CALLBACK_REPORT_ERROR, &onEvent);
    return onEvent(data);
}

void registerAll(QVAPI_INSTANCE instance) {
    for (uint32_t type : {0u, 3u, 4u, 5u, 9u, 10u})
        api().QVAPI_register_callback(instance, type, &onEvent);
}

int32_t onCreated(QVAPI_INSTANCE instance) {
    {
        std::lock_guard<std::mutex> g(recorder.lock);
        recorder.created.insert(instance);
    }
    api().QVAPI_set_user_data(instance, instance);
    registerAll(instance);
    return api().QVAPI_set(instance, QVAPI_OPTION_ARCHIVE_SCAN, L"0");
}

int32_t onDestroyed(QVAPI_INSTANCE instance) {
    std::lock_guard<std::mutex> g(recorder.lock);
    recorder.destroyed.insert(instance);
    return 0;
}

int32_t printLog(int32_t level, const wchar_t* message, void*) {
    fprintf(stderr, "engine log %d: %ls\n", level, message);
    return 0;
}

QVAPI_GLOBAL_INIT initRecord(const std::wstring& folder) {
    return QVAPI_GLOBAL_INIT{5, 5, 12033, folder.c_str(), folder.c_str(), 0, 0};
}

std::string rawDeflate(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A ZIP archive with deflated members (so their content is not in the archive's bytes).
std::string makeZip(const std::vector<std::pair<std::string, std::string>>& members) {
    auto le16 = [](std::string& s, uint32_t v) { s += char(v & 0xFF), s += char((v >> 8) & 0xFF); };
    auto le32 = [&](std::string& s, uint32_t v) { le16(s, v & 0xFFFF), le16(s, v >> 16); };
    std::string body, dir;
    for (const auto& [name, data] : members) {
        uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
        uint32_t offset = static_cast<uint32_t>(body.size());
        std::string packed = rawDeflate(data);
        le32(body, 0x04034b50), le16(body, 20), le16(body, 0), le16(body, 8), le32(body, 0);
        le32(body, crc), le32(body, uint32_t(packed.size())), le32(body, uint32_t(data.size()));
        le16(body, uint16_t(name.size())), le16(body, 0);
        body += name + packed;
        le32(dir, 0x02014b50), le16(dir, 20), le16(dir, 20), le16(dir, 0), le16(dir, 8), le32(dir, 0);
        le32(dir, crc), le32(dir, uint32_t(packed.size())), le32(dir, uint32_t(data.size()));
        le16(dir, uint16_t(name.size())), le16(dir, 0), le16(dir, 0), le16(dir, 0), le16(dir, 0);
        le32(dir, 0), le32(dir, offset);
        dir += name;
    }
    std::string out = body + dir;
    le32(out, 0x06054b50), le16(out, 0), le16(out, 0), le16(out, uint16_t(members.size()));
    le16(out, uint16_t(members.size())), le32(out, uint32_t(dir.size())), le32(out, uint32_t(body.size()));
    le16(out, 0);
    return out;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(api().handle, nullptr) << dlerror();
        recorder.take();
        recorder.created.clear();
        recorder.destroyed.clear();
        recorder.verdictDelayMs = 0;
        engineFolder = makeTempDir("engine");
        for (const char* f : {"qvcore.dat", "qvdefs.vdf"})
            fs::copy_file(scannerFolder() + "/engine/" + f, engineFolder + "/" + f);
        files = makeTempDir("files");
        // On access, only the test's own files are watched.
        writeFile(engineFolder + "/qvoa.conf", "watch " + files + "\n");
    }
    void TearDown() override {
        if (instance)
            api().QVAPI_release_instance(&instance);
        api().QVAPI_uninitialize();
    }
    void initialize() {
        std::wstring folder = wide(engineFolder);
        auto record = initRecord(folder);
        ASSERT_EQ(api().QVAPI_initialize(&record), 0);
        QVAPI_INSTANCE_INIT init{};
        ASSERT_EQ(api().QVAPI_create_instance(&init, &instance), 0);
        registerAll(instance);
    }
    std::string file(const std::string& name, const std::string& content) {
        std::string path = files + "/" + name;
        writeFile(path, content);
        return path;
    }
    // "type[:answer]" per event, e.g. "4 0:1 0:4".
    static std::string sequence(const std::vector<Event>& events) {
        std::string out;
        for (const auto& e : events) {
            if (!out.empty())
                out += ' ';
            out += std::to_string(e.type);
            if (e.type == 0 || e.type == 3 || e.type == 10)
                out += ":" + std::to_string(e.answer);
        }
        return out;
    }
    std::string engineFolder, files;
    QVAPI_INSTANCE instance = nullptr;
};

TEST_F(EngineTest, ScansReportInTheOrderCallersRelyOn) {
    initialize();
    std::string big(300 * 1024, 'a');
    struct Case {
        std::string name, content, expected, malware;
    } cases[] = {
        {"clean.txt", "just some text", "4 0:4", ""},
        {"eicar.com", kEicar, "4 0:1 0:4", "Eicar-Test-Signature"},
        // Across the boundary between two read blocks.
        {"inside.bin", big.substr(0, 131072 - 30) + kEicar + big, "4 0:1 0:4", "Eicar-Test-Signature"},
        {"empty.txt", "", "4 0:4", ""},
        {"archive.zip", makeZip({{"readme.txt", "hello"}, {"eicar.com", kEicar}}), "4 5 4 4 0:1 0:4",
         "Eicar-Test-Signature"},
    };
    for (const auto& c : cases) {
        std::string path = file(c.name, c.content);
        EXPECT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0) << c.name;
        auto events = recorder.take();
        EXPECT_EQ(sequence(events), c.expected) << c.name;
        std::string malware;
        for (auto& e : events) {
            if (!e.malware.empty())
                malware = e.malware;
            EXPECT_EQ(e.thread, std::this_thread::get_id());
            EXPECT_EQ(e.instance, instance);
        }
        EXPECT_EQ(malware, c.malware) << c.name;
        EXPECT_EQ(events.back().path, path) << c.name;
    }
}

TEST_F(EngineTest, ArchiveMembersAreReportedByTheirInnerName) {
    initialize();
    std::string path = file("a.zip", makeZip({{"x/eicar.com", kEicar}}));
    ASSERT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0);
    auto detections = recorder.ofType(0);
    ASSERT_EQ(detections.size(), 2u);
    EXPECT_EQ(detections[0].path, path + "/x/eicar.com");
    EXPECT_EQ(detections[0].level, 1u);
    // With archive scanning off the archive is one plain file, and a clean verdict
    // reached so does not count for a scan that opens archives.
    recorder.take();
    ASSERT_EQ(api().QVAPI_set(instance, QVAPI_OPTION_ARCHIVE_SCAN, L"0"), 0);
    ASSERT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0);
    EXPECT_EQ(sequence(recorder.take()), "4 0:4");
    ASSERT_EQ(api().QVAPI_set(instance, QVAPI_OPTION_ARCHIVE_SCAN, L"1"), 0);
    ASSERT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0);
    EXPECT_EQ(sequence(recorder.take()), "4 5 4 0:1 0:4");
}

// 200 directory entries that all point at one deflated member of 64 MiB of zeros, then
// a real member with the test signature: unpacked naively, the decoys outlast any scan
// time-out and the real member is never reached.
std::string makeOverlappingZip() {
    auto le16 = [](std::string& s, uint32_t v) { s += char(v & 0xFF), s += char((v >> 8) & 0xFF); };
    auto le32 = [&](std::string& s, uint32_t v) { le16(s, v & 0xFFFF), le16(s, v >> 16); };
    auto local = [&](std::string& body, const std::string& name, const std::string& data, uint32_t crc) {
        std::string packed = rawDeflate(data);
        le32(body, 0x04034b50), le16(body, 20), le16(body, 0), le16(body, 8), le32(body, 0);
        le32(body, crc), le32(body, uint32_t(packed.size())), le32(body, uint32_t(data.size()));
        le16(body, uint16_t(name.size())), le16(body, 0);
        body += name + packed;
        return uint32_t(packed.size());
    };
    auto central = [&](std::string& dir, const std::string& name, uint32_t crc, uint32_t packed,
                       uint32_t size, uint32_t offset) {
        le32(dir, 0x02014b50), le16(dir, 20), le16(dir, 20), le16(dir, 0), le16(dir, 8), le32(dir, 0);
        le32(dir, crc), le32(dir, packed), le32(dir, size);
        le16(dir, uint16_t(name.size())), le16(dir, 0), le16(dir, 0), le16(dir, 0), le16(dir, 0);
        le32(dir, 0), le32(dir, offset);
        dir += name;
    };
    std::string zeros(64u << 20, '\0');
    uint32_t zerosCrc =
        crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(zeros.size()));
    std::string body, dir;
    uint32_t zerosPacked = local(body, "z", zeros, zerosCrc);
    uint32_t realOffset = uint32_t(body.size());
    uint32_t eicarCrc =
        crc32(0, reinterpret_cast<const Bytef*>(kEicar.data()), static_cast<uInt>(kEicar.size()));
    uint32_t realPacked = local(body, "real.com", kEicar, eicarCrc);
    for (int i = 0; i < 200; ++i)
        central(dir, "z", zerosCrc, zerosPacked, uint32_t(zeros.size()), 0);
    central(dir, "real.com", eicarCrc, realPacked, uint32_t(kEicar.size()), realOffset);
    std::string out = body + dir;
    le32(out, 0x06054b50), le16(out, 0), le16(out, 0), le16(out, 201), le16(out, 201);
    le32(out, uint32_t(dir.size())), le32(out, uint32_t(body.size())), le16(out, 0);
    return out;
}

TEST_F(EngineTest, ArchivesWithOverlappingMembersAreReportedAtOnce) {
    initialize();
    std::string path = file("decoys.zip", makeOverlappingZip());
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    auto events = recorder.take();
    EXPECT_EQ(sequence(events), "4 0:2 0:4");
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[1].path, path);
    EXPECT_EQ(events[1].malware, "Archive.OverlappingMembers");
    // Not remembered as clean: the same archive is reported again.
    ASSERT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0);
    EXPECT_EQ(sequence(recorder.take()), "4 0:2 0:4");
}

TEST_F(EngineTest, CloudStepsOnlyWhileTheCloudLayerIsOn) {
    initialize();
    std::string program = file("tool", std::string("\x7f"
                                                   "ELF",
                                                   4) +
                                           std::string(100, '\0'));
    ASSERT_EQ(api().QVAPI_scan(instance, wide(program).c_str()), 0);
    EXPECT_EQ(sequence(recorder.take()), "4 0:4");
    std::wstring tmp = wide(files);
    QVAPI_APC_INIT apc{tmp.c_str(), tmp.c_str(), tmp.c_str(), 2, 52428800, 1, tmp.c_str(), 5, 300, nullptr};
    ASSERT_EQ(api().QVAPI_APC_initialize(&apc), 0);
    std::string other = file("tool2", std::string("\x7f"
                                                  "ELF",
                                                  4) +
                                          std::string(200, '\0'));
    ASSERT_EQ(api().QVAPI_scan(instance, wide(other).c_str()), 0);
    EXPECT_EQ(sequence(recorder.take()), "4 10:0 10:1 10:2 10:3 0:4");
}

TEST_F(EngineTest, ErrorsAreReportedAndReturned) {
    initialize();
    std::string missing = files + "/missing.txt";
    EXPECT_EQ(api().QVAPI_scan(instance, wide(missing).c_str()), QVAPI_E_OPEN);
    EXPECT_EQ(sequence(recorder.take()), "4 3:33");
    EXPECT_EQ(api().QVAPI_scan(instance, L"relative/path"), QVAPI_E_NOT_ABSOLUTE);
    EXPECT_EQ(api().QVAPI_scan(instance, wide(files).c_str()), QVAPI_E_OPEN);  // a folder
}

TEST_F(EngineTest, AnyWriteMakesACleanFileScanAgain) {
    initialize();
    std::string path = file("same-size.txt", std::string(kEicar.size(), 'x'));
    ASSERT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0);
    ASSERT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0);
    EXPECT_EQ(sequence(recorder.take()), "4 0:4 4 0:4");
    writeFile(path, kEicar);  // same size, within the same second
    ASSERT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0);
    EXPECT_EQ(sequence(recorder.take()), "4 0:1 0:4");
}

TEST_F(EngineTest, ReloadReplacesTheSignatures) {
    initialize();
    std::string path = file("marker.bin", "xx MARKER-0123456789 yy");
    ASSERT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0);
    EXPECT_EQ(sequence(recorder.take()), "4 0:4");
    std::string next = makeTempDir("next");
    fs::copy_file(engineFolder + "/qvcore.dat", next + "/qvcore.dat");
    writeFile(next + "/qvdefs.vdf",
              "QVDF 1\nversion 8.20.2.0\ndate 2024-07-01\n"
              "pattern Test.Marker test suspicious 4d41524b45522d30313233343536373839\nend 1\n");
    std::wstring folder = wide(next);
    auto record = initRecord(folder);
    ASSERT_EQ(api().QVAPI_reload_engine_ex(&record), 0);
    ASSERT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0);
    EXPECT_EQ(sequence(recorder.take()), "4 0:2 0:4");
    // A damaged signature file is refused and the signatures in use stay.
    writeFile(next + "/qvdefs.vdf", std::string("QVDF 1\n\v", 8));
    EXPECT_EQ(api().QVAPI_reload_engine_ex(&record), QVAPI_E_VDF_READ);
    std::string again = file("marker2.bin", "xx MARKER-0123456789 zz");
    ASSERT_EQ(api().QVAPI_scan(instance, wide(again).c_str()), 0);
    EXPECT_EQ(sequence(recorder.take()), "4 0:2 0:4");
}

TEST_F(EngineTest, MissingOrDamagedFilesGiveTheEngineCodes) {
    struct Case {
        const char* name;
        bool core;
        std::string vdf;
        int32_t expected;
    } cases[] = {
        {"no engine file", false, "", QVAPI_E_ENGINE_NOT_FOUND},
        {"no signature file", true, "", QVAPI_E_VDF_NOT_FOUND},
        {"cut short", true, "QVDF 1\nversion 1.0.0.0\npattern A b malware 41424344\n", QVAPI_E_VDF_READ},
        {"count wrong", true, "QVDF 1\nversion 1.0.0.0\npattern A b malware 41424344\nend 2\n",
         QVAPI_E_VDF_READ},
        {"short pattern", true, "QVDF 1\nversion 1.0.0.0\npattern A b malware 4142\nend 1\n",
         QVAPI_E_VDF_READ},
        {"vertical tab line", true, std::string("QVDF 1\n\v", 8), QVAPI_E_VDF_READ},
        {"form feed line", true, "QVDF 1\nversion 1.0.0.0\n\f\npattern A b malware 41424344\nend 1\n",
         QVAPI_E_VDF_READ},
        {"good", true, "QVDF 1\nversion 1.0.0.0\npattern A b malware 41424344\nend 1\n", 0},
    };
    for (const auto& c : cases) {
        std::string folder = makeTempDir("case");
        if (c.core)
            fs::copy_file(engineFolder + "/qvcore.dat", folder + "/qvcore.dat");
        if (!c.vdf.empty())
            writeFile(folder + "/main.vdf", c.vdf);
        std::wstring w = wide(folder);
        auto record = initRecord(w);
        EXPECT_EQ(api().QVAPI_initialize(&record), c.expected) << c.name;
        api().QVAPI_uninitialize();
    }
}

TEST_F(EngineTest, VersionItems) {
    initialize();
    struct Case {
        uint32_t item;
        std::wstring expected;
    } cases[] = {{2001, L"1.0.4.2"}, {2002, L"8.20.1.0"}, {2005, L"2"}, {2017, L"2024-06-03"}};
    for (const auto& c : cases) {
        wchar_t buffer[256] = {};
        uint32_t length = 255;
        ASSERT_EQ(api().QVAPI_get(instance, c.item, buffer, &length), 0) << c.item;
        EXPECT_EQ(std::wstring(buffer), c.expected);
    }
    wchar_t small[4] = {};
    uint32_t length = 3;
    EXPECT_EQ(api().QVAPI_get(instance, 2001, small, &length), QVAPI_E_BUFFER_TOO_SMALL);
    length = 255;
    wchar_t buffer[256] = {};
    EXPECT_EQ(api().QVAPI_get(instance, 2003, buffer, &length), QVAPI_E_INVALID_OPTION);
}

TEST_F(EngineTest, MalwareNameFiles) {
    initialize();
    std::string tmp = makeTempDir("tmp");
    // A link planted at the temporary name is removed, not written through.
    std::string victim = makeTempDir("victim") + "/file";
    writeFile(victim, "untouched");
    symlink(victim.c_str(), (tmp + "/AV-malware-names-8.20.1.0.txt.part").c_str());
    ASSERT_EQ(api().QVAPI_extract_malware_names(wide(tmp).c_str()), 0);
    EXPECT_EQ(readFile(tmp + "/AV-malware-names-8.20.1.0.txt"), "Eicar-Test-Signature\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp), fs::directory_iterator()), 1);
    EXPECT_EQ(readFile(victim), "untouched");
}

TEST_F(EngineTest, Options) {
    initialize();
    struct Case {
        bool global;
        uint32_t id;
        const wchar_t* value;
        int32_t expected;
    } cases[] = {
        {false, QVAPI_OPTION_SCAN_TIMEOUT, L"30", 0},
        {false, QVAPI_OPTION_SCAN_MODE, L"SMART", 0},
        {false, QVAPI_OPTION_SCAN_MODE, L"EXTLIST", 0},
        {false, QVAPI_OPTION_SCAN_MODE, L"sometimes", QVAPI_E_INVALID_PARAMETER},
        {false, QVAPI_OPTION_ARCHIVE_SCAN, L"1", 0},
        {false, QVAPI_OPTION_ARCHIVE_SCAN, L"yes", QVAPI_E_INVALID_PARAMETER},
        {false, QVAPI_OPTION_APC_SCAN_TIMEOUT, L"20", 0},
        {false, QVAPI_OPTION_MAILBOX_SCAN, L"1", QVAPI_E_NOT_SUPPORTED},
        {false, QVAPI_OPTION_MIME_SCAN, L"1", QVAPI_E_NOT_SUPPORTED},
        {false, QVAPI_OPTION_HEURISTIC_LEVEL, L"2", QVAPI_E_NOT_SUPPORTED},
        {false, 9999, L"1", QVAPI_E_INVALID_OPTION},
        {true, QVAPI_GLOBAL_OA_EXTENSION_LIST, L".exe;.com", 0},
        {true, QVAPI_GLOBAL_OA_SCAN_TIMEOUT, L"abc", QVAPI_E_INVALID_PARAMETER},
        {true, QVAPI_GLOBAL_PROXY, L"proxy:8080", 0},
        {true, 5555, L"1", QVAPI_E_INVALID_OPTION},
    };
    for (const auto& c : cases) {
        int32_t r =
            c.global ? api().QVAPI_global_set(c.id, c.value) : api().QVAPI_set(instance, c.id, c.value);
        EXPECT_EQ(r, c.expected) << c.id << " " << narrow(c.value);
    }
    // EXTLIST: only files with a listed extension are read.
    ASSERT_EQ(api().QVAPI_set(instance, QVAPI_OPTION_SCAN_MODE, L"EXTLIST"), 0);
    recorder.take();
    api().QVAPI_scan(instance, wide(file("eicar.txt", kEicar)).c_str());
    api().QVAPI_scan(instance, wide(file("eicar.COM", kEicar)).c_str());
    EXPECT_EQ(sequence(recorder.take()), "4 4 0:1 0:4");
}

TEST_F(EngineTest, CallbacksMayCallBackIntoTheEngine) {
    initialize();
    api().QVAPI_register_callback(instance, QVAPI_CALLBACK_PRESCAN, &onReentrantPrescan);
    std::string path = file("eicar.com", kEicar);
    ASSERT_EQ(api().QVAPI_scan(instance, wide(path).c_str()), 0);
    EXPECT_EQ(sequence(recorder.take()), "4 0:1 0:4");
}

class OnAccessTest : public EngineTest {
protected:
    void startOnAccess(uint32_t threads = 3) {
        std::wstring folder = wide(engineFolder);
        auto record = initRecord(folder);
        ASSERT_EQ(api().QVAPI_initialize(&record), 0);
        QVAPI_OA_INIT oa{threads, 0};
        ASSERT_EQ(api().QVAPI_OA_initialize(&oa), 0);
        ASSERT_EQ(api().QVAPI_OA_create_instances(&onCreated, &onDestroyed), 0);
        ASSERT_EQ(api().QVAPI_OA_start_scan(), 0);
        EXPECT_EQ(api().QVAPI_OA_start_scan(), QVAPI_E_ALREADY_RUNNING);
    }
    int32_t inject(const std::string& path, int32_t pid, int32_t* verdict) {
        return api().QVAPI_OA_inject_access(wide(path).c_str(), pid, QVAPI_OA_ACCESS_OPEN, verdict);
    }
    static constexpr int32_t kOtherPid = 1;
};

TEST_F(OnAccessTest, OneVerdictPerFileOnTheWorkerThatScannedIt) {
    startOnAccess(3);
    EXPECT_EQ(recorder.created.size(), 3u);
    int32_t verdict = -1;
    ASSERT_EQ(inject(file("clean.txt", "hello"), kOtherPid, &verdict), 0);
    EXPECT_EQ(verdict, QVAPI_OA_ALLOW);
    ASSERT_EQ(inject(file("eicar.com", kEicar), kOtherPid, &verdict), 0);
    EXPECT_EQ(verdict, QVAPI_OA_DENY);
    auto events = recorder.take();
    EXPECT_EQ(sequence(events), "4 0:4 9 4 0:1 0:4 9");
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_NE(events[i].thread, std::this_thread::get_id());
        EXPECT_TRUE(recorder.created.count(events[i].instance));
        EXPECT_EQ(events[i].userData, events[i].instance);
        // The verdict comes on the thread and instance that scanned the file.
        if (events[i].type == 9) {
            EXPECT_EQ(events[i].thread, events[i - 1].thread);
            EXPECT_EQ(events[i].instance, events[i - 1].instance);
        }
    }
    // A file found clean is not scanned again while unchanged; a detection always is.
    ASSERT_EQ(inject(files + "/clean.txt", kOtherPid, &verdict), 0);
    EXPECT_EQ(verdict, QVAPI_OA_ALLOW);
    ASSERT_EQ(inject(files + "/eicar.com", kOtherPid, &verdict), 0);
    EXPECT_EQ(verdict, QVAPI_OA_DENY);
    EXPECT_EQ(sequence(recorder.take()), "4 0:1 0:4 9");

    ASSERT_EQ(api().QVAPI_OA_stop_scan(), 0);
    EXPECT_EQ(inject(files + "/eicar.com", kOtherPid, &verdict), QVAPI_E_NOT_INITIALIZED);
    ASSERT_EQ(api().QVAPI_OA_uninitialize(), 0);
    EXPECT_EQ(recorder.destroyed, recorder.created);
}

TEST_F(OnAccessTest, OwnProcessAndExceptionsAreAllowedWithoutAScan) {
    startOnAccess();
    std::string eicar = file("eicar.com", kEicar);
    int32_t verdict = -1;
    ASSERT_EQ(inject(eicar, getpid(), &verdict), 0);
    EXPECT_EQ(verdict, QVAPI_OA_ALLOW);
    fs::create_directory(files + "/ex");
    fs::create_directory(files + "/exx");
    writeFile(files + "/ex/eicar.com", kEicar);
    writeFile(files + "/exx/eicar.com", kEicar);
    ASSERT_EQ(
        api().QVAPI_global_set(QVAPI_GLOBAL_OA_EXCEPTED_FILES, wide("/nowhere;" + files + "/ex/").c_str()),
        0);
    ASSERT_EQ(inject(files + "/ex/eicar.com", kOtherPid, &verdict), 0);
    EXPECT_EQ(verdict, QVAPI_OA_ALLOW);
    // A folder excludes what lies below it, not a sibling that shares its name's start.
    std::string sibling = files + "/exx";
    ASSERT_EQ(inject(sibling + "/eicar.com", kOtherPid, &verdict), 0);
    EXPECT_EQ(verdict, QVAPI_OA_DENY);
    EXPECT_EQ(sequence(recorder.take()), "4 0:1 0:4 9");

    // An excepted program, by its name.
    pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    std::string exe = fs::read_symlink("/proc/" + std::to_string(child) + "/exe").filename().string();
    ASSERT_EQ(api().QVAPI_global_set(QVAPI_GLOBAL_OA_EXCEPTED_PROCESSES, wide("other.exe;" + exe).c_str()),
              0);
    EXPECT_EQ(inject(sibling + "/eicar.com", child, &verdict), 0);
    EXPECT_EQ(verdict, QVAPI_OA_ALLOW);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(recorder.take().empty());
}

TEST_F(OnAccessTest, ASlowVerdictAllowsOnTimeOut) {
    ASSERT_EQ(api().QVAPI_global_set(QVAPI_GLOBAL_OA_SCAN_TIMEOUT, L"1"), 0);
    startOnAccess();
    recorder.verdictDelayMs = 2500;
    int32_t verdict = -1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(inject(file("eicar.com", kEicar), kOtherPid, &verdict), QVAPI_E_TIMEOUT);
    EXPECT_EQ(verdict, QVAPI_OA_ALLOW);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2300));
    // Stopping waits for the late verdict; it is still called once.
    ASSERT_EQ(api().QVAPI_OA_stop_scan(), 0);
    EXPECT_EQ(recorder.ofType(9).size(), 1u);
}

TEST_F(OnAccessTest, WorkersScanAtTheSameTime) {
    recorder.verdictDelayMs = 300;
    startOnAccess(4);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        std::string path = file("f" + std::to_string(i), "content " + std::to_string(i));
        threads.emplace_back([this, path] {
            int32_t verdict = -1;
            EXPECT_EQ(inject(path, kOtherPid, &verdict), 0);
        });
    }
    auto start = std::chrono::steady_clock::now();
    for (auto& t : threads)
        t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    std::set<std::thread::id> workers;
    for (auto& e : recorder.ofType(9))
        workers.insert(e.thread);
    EXPECT_EQ(workers.size(), 4u);
}

// Real file opens through the kernel; needs the privilege to watch them.
TEST_F(OnAccessTest, KernelOpensAreScannedAndDenied) {
    int probe = fanotify_init(FAN_CLASS_CONTENT, O_RDONLY);
    if (probe < 0)
        GTEST_SKIP() << "no privilege to watch file opens";
    close(probe);
    api().QVAPI_set_log_callback(&printLog, QVAPI_LOG_DEBUG, nullptr);
    startOnAccess();
    std::string clean = file("clean.txt", "hello");
    std::string eicar = file("eicar.com", kEicar);
    std::string outside = makeTempDir("outside") + "/eicar.com";
    writeFile(outside, kEicar);
    // Opens by another process (this process itself is always allowed).
    auto openInChild = [](const std::string& path) {
        pid_t child = fork();
        if (child == 0) {
            int fd = open(path.c_str(), O_RDONLY);
            _exit(fd >= 0 ? 0 : (errno == EPERM ? 1 : 2));
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(openInChild(clean), 0);
    EXPECT_EQ(openInChild(eicar), 1);
    EXPECT_EQ(openInChild(outside), 0);
    EXPECT_EQ(recorder.ofType(9).size(), 2u);
    EXPECT_EQ(openInChild(clean), 0);
    EXPECT_EQ(recorder.ofType(9).size(), 2u);  // known clean: not scanned again
    writeFile(clean, kEicar);                  // a write makes it new
    EXPECT_EQ(openInChild(clean), 1);
    EXPECT_EQ(recorder.ofType(9).size(), 3u);
    ASSERT_EQ(api().QVAPI_OA_stop_scan(), 0);
    EXPECT_EQ(openInChild(eicar), 0);
}

}  // namespace
