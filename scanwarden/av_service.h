#pragma once
// The service object: the service framework calls its start, stop, reload, shutdown and
// pre-shutdown. Its start builds the running service in a fixed order, its stop takes it
// down in its own; it runs a product setup left pending by an update, runs the driver
// removal at pre-shutdown when one is pending, and keeps the last notification that the
// tray program fetches over the command channel.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "kitbase/core/kernel_objects.h"
#include "kitbase/services/service_base.h"

class StatsDB;
class Thread;

class CAVService : public CServiceBase {
public:
    // The process-wide service object, built on first use with the service name that
    // setServiceName gave before (the entry point loads it first thing).
    static CAVService& instance();
    static void setServiceName(const std::wstring& name);

    explicit CAVService(const std::wstring& serviceName);
    ~CAVService() override;

    void OnStart(DWORD argc, wchar_t** argv) override;
    void OnStop() override;
    void OnReload() override;
    void OnShutdown() override;
    void OnPreShutdown() override;

    // Keeps a notification for the tray program (when notifications are allowed).
    void notify(const std::wstring& text);
    // A notification in its marked form: the text in angle brackets.
    void notifyUpdate(const std::wstring& text);
    // The notification of an on-access detection: kind 0 malware, 1 suspicious; action 0
    // allow, 1 quarantine, 2 delete, 3 deny, 4 rename.
    void notifyOnAccessDetection(unsigned int kind, const std::wstring& path, const std::wstring& detection,
                                 const std::wstring& type, unsigned int action);
    // A copy of the last notification (empty until the first).
    std::wstring lastNotification() const;

    // A path as the notification shows it: whole when shorter than 16 characters,
    // else its file name when that is, else the name's first and last 7 characters.
    static std::wstring shortenPathForDisplay(const std::wstring& path);

    // How the process ends from inside a start (second instance, pending setup); tests
    // replace it.
    static void setProcessExit(void (*exitFunction)(int));

private:
    void scannerSetup();
    void registerWithSecurityCenter();
    // Runs a setup left pending by an update; true when a setup program was started
    // (the process then ends).
    bool runPendingInstallation();
    [[noreturn]] void endProcess(int code);

    std::wstring serviceName_;
    std::atomic<int> stopFlag_{0};
    Mutex singleInstance_;
    bool holdsSingleInstance_ = false;

    std::thread securityCenterThread_;
    std::thread scannerSetupThread_;
    std::mutex setupLock_;
    std::unique_ptr<StatsDB> statsDB_;

    mutable std::mutex notificationLock_;
    std::wstring lastNotification_;
};
