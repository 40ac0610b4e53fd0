#include "kitbase/core/option_table.h"

#include <ctime>

#include "kitbase/core/strings.h"

namespace {

// Extensions scanned on access by default.
const wchar_t* const kExtensionList =
    L".exe;.com;.dll;.386;.htm;.html;.hta;.ani;.apk;.bas;.bat;.bin;.chm;.class;.cmd;.cpl;.cpx;.crt;.csh;.dll;"
    L".dlo;.doc;.docx;.flt;.fot;.jar;.job;.js;.lnk;.lsp;.mdb;.mpp;.mpt;.ocx;.olb;.osd;.pcd;.pdf;.pif;.pkg;."
    L"pl;.pot;.pps;.pptx;.ppt;.prg;.ps1;.psh;.pwz;.reg;.rpl;.rtf;.scr;.script;.sys;.shtm;.shtml;.swf;.sys;."
    L"tsp;.ttf;.vb;.vir;.vbs;.vxd;.vxo;.xls;.xlsx;.xxx";

// Local time of day as hours:minutes, without padding (9:5).
std::wstring timeOfDayText(const std::tm& t) {
    return T2WS(t.tm_hour) + L":" + T2WS(t.tm_min);
}

}  // namespace

std::vector<Option> buildDefaultOptions(const std::tm& localNow) {
    const std::wstring timeOfDay = timeOfDayText(localNow);
    const int32_t dayOfWeek = localNow.tm_wday;
    return std::vector<Option>{
        Option(1, L"General"),
        Option(2, L"default", -1, L"profilename", L"ProfileName",
               L"# This is the name of the configuration profile", 0, true, true),
        Option(3, L"127.0.0.1", -1, L"listen_addr", L"ListenAddr", L"Default address to listen for requests",
               0, false, false),
        Option(4, 1024, 65534, 2004, -1, L"port", L"Port", L"# Port for the server to listen to", 0, false,
               false),
        Option(5, 1024, 65534, 2020, -1, L"encport", L"EncPort",
               L"# Port for the server to listen to encryted messages", 0, false, false),
        Option(6, L"", -1, L"password", L"Password", L"# Hash of the password to protect the configuration",
               0, true, false),
        Option(7, 0, 1, 1, -1, L"enable_antimalware", L"EnableAntiMalware",
               L"# Enables the Anti-Malware functionality\n# 0 - Disabled\n# 1 - Enabled", 0, false, true),
        Option(8, 0, 99999, 8632, -1, L"productid", L"ProductID", L"# Product ID", 0, false, false),
        Option(9, 0, 99999, 12033, -1, L"scannerproductid", L"ScannerProductID",
               L"# Product ID of the Scanning engine", 7, false, false),
        Option(10, 0, 1, 1, -1, L"telemetry", L"Telemetry",
               L"# Send anonymous telemetry data\n# Send anonymous statistics about detections, errors,etc. "
               L"This helps us improve the product while keeping your anonymity.\n# 1 Enabled\n# 0 Disabled",
               7, false, true),
        Option(11, 1, 99, 4, -1, L"loglevel", L"LogLevel",
               L"# Log verbosity level:\n# 1 = errors only\n# 2 = errors and alerts\n# 3 = errors, alerts "
               L"and warnings\n# 4 = errors, alerts, warnings and information. From this level on the "
               L"processor use rises.\n# 5 = all of the above and debug messages",
               0, false, true),
        Option(12, 0, 1, 1, -1, L"allownotifications", L"AllowNotications",
               L"# Notify the user with a slide-up window about events such as a finished update or a "
               L"finished scan.\n# 1 Enabled\n# 0 Disabled",
               0, false, true),
        Option(13, L"Real-time"),
        Option(14, 0, 1, 1, -1, L"onaccess", L"OnAccess",
               L"# Enable or disable the Realtime On Access scanning. \n# Available values :\n# 0 = "
               L"disabled\n# 1 = enabled",
               7, false, true),
        Option(15, 3, 24, 6, -1, L"oascanthreads", L"OAScanThreads",
               L"# Set how many scan threads are created for OnAccess\n# This option limits the number of "
               L"files scanned in parallel.",
               14, true, false),
        Option(
            16, 0, 3, 1, -1, L"actionoa", L"ActionOA",
            L"# Automatic action to perform when malware is detected by the On Access scanning.\n# Available "
            L"values :\n# 0 = allow\n# 1 = deny access and quarantine\n# 2 = erase\n# 3 = deny access",
            14, false, true),
        Option(17, 0, 1, 1, -1, L"notifyoadetection", L"NotifyOADetection",
               L"# Notify the user in case of an On Access malware detection.\n# Not all detections will be "
               L"shown in real-time\n# Check the log file and the Windows Event Log for all detections",
               14, false, true),
        Option(18, 0, 1, 0, -1, L"archivescanoa", L"ArchiveScanOA",
               L"# Archive Scanning for On Access Scanning.", 14, false, true),
        Option(
            19, kExtensionList, 3000, L"oaextensionlist", L"OAExtensionList",
            L"# File extensions scanned by the On Access scanning. An empty list scans every file.\n# At "
            L"most 150 extensions of at most 12 characters each.\n# The list applies only to files that are "
            L"not mapped for execution; those are always scanned.\n# Wildcards are not supported. Extensions "
            L"are separated by ';' and blanks belong to the extension.\n# Example: .doc;.xls;.txt;.avi",
            14, true, true),
        Option(20, L"", 3001, L"oaexceptedfiles", L"OAExceptedFiles",
               L"# Files and folders excepted from the On Access scanning, separated by ';'.\n# Engine "
               L"limits: 6000 characters, 20 exceptions with a full path per drive, 64 exceptions without a "
               L"full path.\n# Wildcards are allowed only after the last backslash. An excepted folder takes "
               L"its subfolders with it.\n# Keep this list short: its room is limited to 64 entries.",
               14, true, false),
        Option(
            21, L"scanwarden.exe;lumenpost.exe;csrss.exe", 3002, L"oaexceptedprocesses",
            L"OAExceptedProcesses",
            L"# Processes whose file actions are excepted from the On Access scanning, separated by ';'.\n# "
            L"Engine limits: 128 processes, 6000 characters, 255 characters per path.\n# Wildcards are "
            L"allowed only after the last backslash.\n# The operating system and the Windows Explorer cannot "
            L"be excepted.\n# A change takes effect only after a restart of the service.",
            14, true, false),
        Option(22, 0, 1, 1, 3004, L"oascannetworkdrives", L"OAScanNetworkDrives",
               L"# Set OnAccess to scan network files\n# All the files accessed on a network location will "
               L"be scanned as well.",
               14, true, true),
        Option(23, 0, 60, 20, 3006, L"oascantimeout", L"OAScanTimeout",
               L"# Set the maximum number of seconds allowed to scan an OnAccess file before aborting", 14,
               true, true),
        Option(24, 0, 1, 1, 3003, L"oascanatfilechanges", L"OAScanAtFileChanges",
               L"# Set OnAccess scanner at file changes\n# All the files that were previously accessed and "
               L"scanned will be scanned again, \n# whenever possible, when modifications are detected.",
               14, true, false),
        Option(25, L"System Scan"),
        Option(26, 0, 6, 0, -1, L"scheduledscantype", L"ScheduledScanType",
               L"# What a scheduled scan covers.\n# Available values :\n# 0 = quick system scan (the running "
               L"processes)\n# 1 = the current user's folder\n# 2 = the Windows folder\n# 3 = the Windows "
               L"and program folders\n# 4 = the folders of all users\n# 5 = the full system\n# 6 = the "
               L"custom path of <ScheduledScanPath>",
               7, false, true),
        Option(27, timeOfDay, -1, L"scheduledscantime", L"ScheduledScanTime",
               L"# The exact time in hours and minutes when a scheduled scan should be regularly performed "
               L"every <ScheduledScanInterval> hours.\n# Set it to 0 to deactivate scheduled scans. Values "
               L"accepted are between 00:00 and 23:59.",
               7, false, true),
        Option(28, 0, 6, dayOfWeek, -1, L"scheduledscanday", L"ScheduledScanDay",
               L"# The day when a scheduled scan should be regularly performed every <ScheduledScanInterval> "
               L"at the <ScheduledScanTime> time.\n# Accepted values: "
               L"0=Sunday,1=Monday,2=Tuesday,3=Wednesday,4=Thursday,5=Friday,6=Saturday.",
               7, false, true),
        Option(29, 0, 2, 2, -1, L"scheduledscaninterval", L"ScheduledScanInterval",
               L"# When scheduled scans run.\n# Available values :\n# 0 = disabled\n# 1 = every day at "
               L"<ScheduledScanTime> (<ScheduledScanDay> is ignored)\n# 2 = every week on <ScheduledScanDay> "
               L"at <ScheduledScanTime>\n# A missed scheduled scan waits for its next turn.",
               7, false, true),
        Option(30, L"", -1, L"scheduledscanpath", L"ScheduledScanPath",
               L"# The custom path where to perform a scheduled scan.\n# Default is empty.", 7, false, true),
        Option(31, 0, 3, 1, -1, L"actionod", L"ActionOD",
               L"# Automatic action to perform when malware is detected by the On Demand scanning.\n# "
               L"Available values : \n# 0 = allow \n# 1 = quarantine\n# 2 = erase\n# 3 = rename file",
               7, false, true),
        Option(32, 0, 1, 1, 3, L"archivescanod", L"ArchiveScanOD",
               L"# Archive Scanning for On Demand Scanning.", 7, false, true),
        Option(33, L"", -1, L"exceptedfiles", L"ExceptedFiles",
               L"# Files and folders excepted from the On Demand and the On Access scanning, separated by "
               L"';'.\n# At most 10000 characters. Only fully qualified names are accepted; bare file names "
               L"are ignored.\n# Wildcards are not supported. Network shares are allowed.\n# Environment "
               L"variables such as %USERPROFILE% are expanded at start.",
               7, false, true),
        Option(34, L"Scan Settings"),
        Option(35, 0, 1073741824, 1073741824, 4, L"archivemaxsize", L"ArchiveMaxSize",
               L"# Sets the maximum allowed size in bytes for any file within an archive, mailbox or "
               L"mail.Zero means maximum allowed value.",
               7, false, true),
        Option(36, 0, 1000, 500, 5, L"archivemaxrec", L"ArchiveMaxRec",
               L"# Sets the maximum allowed recursion within an archive, mailbox or mail.Zero means maximum "
               L"allowed value.",
               7, false, true),
        Option(37, 0, 1073741824, 0, 6, L"archivemaxratio", L"ArchiveMaxRatio",
               L"# Sets the maximum allowed size of compression ratio of an archive. Zero means maximum "
               L"allowed value.",
               7, false, true),
        Option(38, 0, 1073741824, 0, 7, L"archivemaxcount", L"ArchiveMaxCount",
               L"# Sets the maximum number of files within an archive, mailbox or mail.Zero means maximum "
               L"allowed value.",
               7, false, true),
        Option(39, 0, 1, 0, 8, L"mailboxscan", L"MailboxScan",
               L"# Activates detection and scanning of mailboxes.\n# Available only for On Demand Scanning",
               7, false, true),
        Option(40, 0, 1, 1, 31, L"mimescan", L"MIMEScan", L"# Activates detection and scanning of mails.", 7,
               false, true),
        Option(41, 0, 3, 2, 10, L"heurlevel", L"HeurLevel",
               L"# Heuristic detection level.\n# Available values :\n# 0 = off\n# 1 = lazy (fewest false "
               L"positives)\n# 2 = normal\n# 3 = high (somewhat more false positives)",
               7, false, true),
        Option(42, 0, 1, 1, 1001, L"detect_alltypes", L"DetectAllTypes",
               L"# Activate detection for all types.", 7, false, false),
        Option(43, L"SMART", 30, L"scanmode", L"ScanMode",
               L"# Scan method.\n# SMART - the engine chooses the files to scan by their content "
               L"(recommended)\n# ALL - every file is scanned, whatever its content or extension",
               7, false, false),
        Option(44, 0, 1, 1, 45, L"fpc", L"FPC",
               L"# Enable False Positive Control  - a new layer of security regarding false positive "
               L"prevention.\n# Available values : \n# 0  disabled\n# 1 enabled.",
               7, false, true),
        Option(45, 0, 1, 1, 26, L"detectphishing", L"DetectPhishing", L"# Detection of phishing websites.", 7,
               false, true),
        Option(46, 0, 1, 1, 27, L"detectspr", L"DetectSPR",
               L"# Detection of security and privacy risk programs.", 7, false, true),
        Option(47, 0, 1, 1, 43, L"detectpua", L"DetectPUA",
               L"# Detection of Potentially Unwanted Applications (aka PUP).", 7, false, true),
        Option(48, 0, 1, 1, 35, L"detectpfs", L"DetectPFS",
               L"# Activate detection for the PFS (possible fraudulent software) type.", 7, false, true),
        Option(49, 0, 512, 30, -1, L"max_rec_level", L"MaxRecLevel",
               L"# Maximum recursion level of scanning a directory.", 7, false, true),
        Option(50, 0, 60, 30, 12, L"scantimeout", L"ScanTimeout",
               L"# Maximum time to wait for a scan to finish.\n# Must meet this condition: "
               L"APCConnectionTimeout < APCScanTimeout < ScanTimeout",
               7, false, true),
        Option(51, L"Protection Cloud"),
        Option(52, 0, 2, 2, -1, L"apcmode", L"APCMode",
               L"# Enables and configures APC for all APC supported files. \n# 0: DISABLED - Disables APC\n# "
               L"1: CHECK-ONLY - Hash checks only \n# 2: FULL - Hash checks and file uploads",
               7, false, true),
        Option(53, L"FULL", 47, L"apcpemode", L"APCPEMode",
               L"# Enables and configures APC only for PE files. \n# DISABLED - Disables APC\n# CHECK-ONLY - "
               L"Hash checks only \n# FULL - Hash checks and file uploads",
               52, false, false),
        Option(54, 1, 7, 4, 40, L"apccheckriskratinglevel", L"APCCheckRiskRatingLevel",
               L"# The lowest risk rating (1 to 7) of a file for which a hash request is sent to the "
               L"Protection Cloud.",
               52, false, false),
        Option(55, 1, 7, 4, 41, L"apcuploadriskratinglevel", L"APCUploadRiskRatingLevel",
               L"# The lowest risk rating (1 to 7) of a file that is uploaded to the Protection Cloud.", 52,
               false, false),
        Option(56, 0, 30, 10, 38, L"apcconnectiontimeout", L"APCConnectionTimeout",
               L"# APC connection timeout (in seconds).\n# Must meet this condition: APCConnectionTimeout < "
               L"APCScanTimeout < ScanTimeout",
               52, false, true),
        Option(57, 0, 30, 20, 39, L"apcscantimeout", L"APCScanTimeout",
               L"# APC scan timeout (in seconds).\n# Must meet this condition: APCConnectionTimeout < "
               L"APCScanTimeout < ScanTimeout",
               52, false, true),
        Option(58, L"Connections"),
        Option(59, timeOfDay, -1, L"updatetime", L"UpdateTime",
               L"# The exact time when a scheduled update should be regularly performed every "
               L"<UpdateInterval> hours.\n# Values accepted are between 00:00 and 23:59.",
               7, false, false),
        Option(60, 0, 12, 2, -1, L"updateinterval", L"UpdateInterval",
               L"# Update Interval in hours.\n# The updater will be started every <the specified amount "
               L"hours> after <UpdateTime>",
               7, false, true),
        Option(61, L"https://update.invalid", -1, L"updateserver", L"UpdateServer",
               L"# Update Server for product and detection updates.It must be just the host, the product "
               L"appends /update/idx/*.idx\n# This server can be also a mirror of the official server, "
               L"hosted in your network.",
               7, false, true),
        Option(62, L"", -1, L"updaterconfigfile", L"UpdaterConfigFile",
               L"# Configuration file handed to the engine updater. When it is empty or cannot be read, the "
               L"updater runs without one.",
               0, false, true),
        Option(63, 0, 1, 0, -1, L"updaternocertverify", L"UpdaterNoCertVerify",
               L"# Set to 1 to switch off the certificate and host name checks of the engine updater.", 0,
               false, true),
        Option(64, L"", 4002, L"proxyserver", L"ProxyServer",
               L"# Proxy server URI to be used by all components:\n# Protection Cloud, Updater, False "
               L"Positive Prevention (host:port or ip:port or http(s)://host[:port]\n# If the server "
               L"requires a username and password, specify them in the dedicated options",
               0, true, true),
        Option(65, L"", -1, L"proxyserveruser", L"ProxyServerUser",
               L"# Proxy server USER to be used by all components.Leave empty if no user is needed.", 64,
               true, true),
        Option(66, L"", -1, L"proxyserverpassword", L"ProxyServerPassword",
               L"# Proxy server Password to be used by all components.Leave empty if no password is needed.",
               64, true, true),
        Option(67, L"", -1, L"heartbeatserverurl", L"HeartbeatServerURL",
               L"# Heartbeat Server URL for the product.\n# Endpoints out of the home network will report "
               L"here their status.",
               0, true, true),
        Option(68, 0, 86400, 15, -1, L"heartbeatinterval", L"HeartbeatInterval",
               L"# Seconds between two heartbeats. A value of 0 means the default of 15 seconds.", 0, false,
               true),
        Option(70, 0, 1, 1, -1, L"heartbeat", L"HeartbeatServer",
               L"# Activate/Deactivate the Heartbeat Server for the product.\n# Endpoints out of the home "
               L"network will report here their status.",
               0, true, true),
        Option(73, 1, 10, 2, -1, L"reloadmaxseries", L"ReloadMaxSeries",
               L"# Number of series of engine reloads tried after an engine update before the service "
               L"restarts itself.",
               0, false, true),
        Option(74, 1, 20, 10, -1, L"reloadmaxattempts", L"ReloadMaxAttempts",
               L"# Number of engine reload attempts in each series after an engine update.", 0, false, true),
    };
}

std::tm localTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

const std::vector<Option>& defaultOptionTable() {
    static const std::vector<Option> table = buildDefaultOptions(localTimeNow());
    return table;
}

namespace {
// The table is built when the library is loaded, so its time defaults are the load time.
[[maybe_unused]] const bool tableBuiltAtLoad = (defaultOptionTable(), true);
}  // namespace
