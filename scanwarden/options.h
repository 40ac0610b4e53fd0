#pragma once
// The service's option store: the configuration file with the service's own reading
// (server defaults, trace level, OEM defaults for empty server addresses), and the
// operations that hand option values to the scan engine, engine-wide or per scanning
// instance. Engine calls are made with values copied out of the store, never while
// holding the store's lock (the engine may call back into the service meanwhile).
#include <string>

#include "kitbase/core/config_options.h"
#include "scanwarden/qvapi_interface.h"

class QVAPIScanner;

class _Options : public ConfigurationOptions {
public:
    // An empty configuration path (the default file) and the default option table.
    _Options();
    ~_Options() override = default;

    // The process-wide store, created on first use.
    static _Options& instance();

    // The base reading, then: 8 on-access threads on a server, the global trace level
    // from `LogLevel`, OEM defaults for an empty `UpdateServer` / `HeartbeatServerURL`.
    // The values set here live in memory only. Returns the base reading's result.
    int readCfg() override;
    virtual std::wstring className() const { return L"Options"; }

    // Hands every engine option of the requested scope to `engine`: engine-wide options
    // (global true) or the options of `instance` (on-access instances skip the options
    // they set themselves or cannot use). 0 when every answer was 0 or 19 (unsupported)
    // or no option reached the engine, -1 when the engine is not ready or no instance
    // was given, else the last failing answer.
    int applyEngineOptions(QVAPIScanner* engine, bool global, QVAPI_INSTANCE instance, bool onAccess);

    // Fills the process-wide whitelist (this program, `ExceptedFiles`, `OAExceptedFiles`)
    // and sets the engine-wide options.
    int applyGlobalSettings(QVAPIScanner* engine);

    // Hands one option, found by its key exactly as given, to the engine; `value` null
    // sends the option's current text. 0 done or no engine option (or an instance
    // option without an instance), -1 unknown key or no engine, else the engine's code.
    int setEngineOption(QVAPIScanner* engine, const std::wstring& key, const std::wstring* value,
                        QVAPI_INSTANCE instance);

    // Changes a value in memory only: it is not marked as set, so writing the
    // configuration file does not turn it into a live line. False for an unknown id.
    bool setNumberInMemory(unsigned int id, int value);
    bool setTextInMemory(unsigned int id, const std::wstring& value);
};
