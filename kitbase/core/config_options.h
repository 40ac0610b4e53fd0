#pragma once
// The option store: a list of typed configuration options (copied from the default
// option table or from a given list), looked up by id or by key, set with range
// checks, and read from and written to the configuration file, a text file of
// key=value lines.
//
// Every read and every change of a record happens under the store's lock. The text
// getters return copies, so a reader never sees a half-changed text. Positions
// returned by findOption/modifyOption stay valid for the store's life (records are
// never added or removed); reading or changing a record through such a position
// from several threads needs the store's lock, which derived classes hold through
// `lock_` (the lock is re-entrant).
#include <cstdint>
#include <string>
#include <vector>

#include "kitbase/core/locks.h"
#include "kitbase/export.h"

class Trace;

// One configuration option (or a section header, when sectionName is not empty).
class KITBASE_API Option {
public:
    // The empty record: no key, no value, id -1.
    Option();
    // A text option.
    Option(uint32_t id, const std::wstring& defaultText, int32_t engineOptionId, const std::wstring& key,
           const std::wstring& name, const std::wstring& comment, int32_t dependsOn, bool isGlobal,
           bool isWritten, std::wstring* boundVariable = nullptr);
    // A numeric option with its range [min, max].
    Option(uint32_t id, int32_t min, int32_t max, int32_t defaultNumber, int32_t engineOptionId,
           const std::wstring& key, const std::wstring& name, const std::wstring& comment, int32_t dependsOn,
           bool isGlobal, bool isWritten, int32_t* boundVariable = nullptr);
    // A section header.
    Option(uint32_t id, const std::wstring& sectionName);

    bool isSection() const { return !sectionName.empty(); }

    int32_t minValue;
    int32_t maxValue;
    bool isNumeric;
    int32_t defaultNumber;
    std::wstring defaultText;
    int32_t number;
    // Current text; for a numeric option the text last given for it.
    std::wstring text;
    std::wstring name;
    // Description; the writer starts every one of its lines with '#'.
    std::wstring comment;
    // The scan engine's option id this option feeds; -1 when none.
    int32_t engineOptionId;
    // Engine scope: true = set once for the whole engine, false = per scan instance.
    bool isGlobal;
    std::wstring key;
    // Id of the option that switches this one on and off; below 1 means none.
    int32_t dependsOn;
    std::wstring sectionName;
    uint32_t id;
    // Written to the file in its commented default form and listed by toString.
    bool isWritten;
    // Optional outside variable (not owned) that receives every value read or set: an
    // int32_t for a numeric option, a std::wstring for a text option.
    void* boundVariable;
    // True once a value has been read from a file or given by a setter; such an
    // option is written to the file as a live key=value line.
    bool isSet;
};

// The value of an option as logs may show it: "***" for options that hold a secret
// (the password hash, the proxy user and password), and a URL's user and password
// replaced by "***"; other values as they are.
KITBASE_API std::wstring optionValueForLog(const std::wstring& key, const std::wstring& value);

class KITBASE_API ConfigurationOptions {
public:
    // `path` empty: the default configuration file; `defaults` null: the default option
    // table. Nothing is read.
    ConfigurationOptions(const std::wstring& path = std::wstring(),
                         const std::vector<Option>* defaults = nullptr);
    ConfigurationOptions(const ConfigurationOptions& other);
    ConfigurationOptions& operator=(const ConfigurationOptions& other);
    virtual ~ConfigurationOptions();

    // Reads the store's file into the store's list: 0 read, 1 not opened or lines that
    // could not be used, 2 values out of range (reset to their defaults).
    virtual int readCfg();

    void setConfigFile(const std::wstring& path);
    void setDefaults(const std::vector<Option>& options);
    bool wasConfigRead() const;

    // Lookups: the first record with that id (section headers included) or with exactly
    // that key (not lower-cased; an empty key matches nothing); optionsEnd() when none.
    std::vector<Option>::const_iterator findOption(unsigned int id) const;
    std::vector<Option>::const_iterator findOption(const std::wstring& key) const;
    std::vector<Option>::iterator modifyOption(unsigned int id);
    std::vector<Option>::iterator modifyOption(const std::wstring& key);
    std::vector<Option>::const_iterator optionsEnd() const { return options_.cend(); }
    bool optionExists(const std::wstring& key) const;
    bool getOption(unsigned int id, Option& out) const;
    bool getOption(const std::wstring& key, Option& out) const;

    // Lock-free searches of a given list.
    static std::vector<Option>::const_iterator _findOption(const std::vector<Option>& list,
                                                           const std::wstring& key);
    static std::vector<Option>::const_iterator _findOption(const std::vector<Option>& list, unsigned int id);
    static std::vector<Option>::iterator _modifyOption(std::vector<Option>& list, const std::wstring& key);
    static std::vector<Option>::iterator _modifyOption(std::vector<Option>& list, unsigned int id);

    // Getters: the number (-1 when unknown) or a copy of the text (empty when unknown).
    // The key forms lower-case the key.
    int getOptionNumeric(unsigned int id) const;
    int getOptionNumeric(const std::wstring& key) const;
    std::wstring getOptionString(unsigned int id) const;
    std::wstring getOptionString(const std::wstring& key) const;
    // Key matched exactly as given; the record's id, or -1 (out unchanged) when unknown.
    unsigned int getOptionString(const std::wstring& key, std::wstring& out) const;

    // Setters (memory only). Values holding CR, LF or NUL are refused (-1).
    // Result: the record's id; -1 unknown or refused.
    int setOptionNumeric(const std::wstring& key, int value);
    int setOptionNumeric(unsigned int id, int value);
    int setOptionString(const std::wstring& key, const std::wstring& value);
    int setOptionString(unsigned int id, const std::wstring& value);
    // From text by the record's type: numeric 0 stored, 1 out of range; text the
    // record's id; -1 unknown key or refused value.
    int setOptionGeneric(const std::wstring& key, const std::wstring& value);
    // As setOptionGeneric, but a text option that holds a ';'-separated list gets each
    // entry of `value` appended that it does not hold yet.
    int appendOptionGeneric(const std::wstring& key, const std::wstring& value);

    // File operations. The file is always replaced as a whole (written beside it, then
    // renamed over it), mode 0600. Options that were given a value (read from a file or
    // set) are written as live key=value lines, the others in their commented default
    // form, so a file written from the defaults alone changes nothing when read.
    int writeCfg();
    // Reads the file into a copy of the default table, changes one option there and
    // writes it back; the store's own list is not changed. 0 done, 1 failed.
    int writeCfgOnlyOption(const std::wstring& key, const std::wstring& value);
    // Parses a file into a copy of the default table: the reader's status.
    int verifyConfigFile(const std::wstring& path);
    // The written options as key=value lines.
    std::wstring toString(Trace* trace) const;
    // Replaces the configuration file by the given text once it reads without
    // complaint; 0 done, 1 refused, 2 not saved.
    unsigned int setCfgContent(const std::wstring& content);

    // Lock-free workers.
    static int _readCfg(const std::wstring& path, std::vector<Option>& list);
    static int _writeCfg(const std::wstring& path, const std::vector<Option>& list);
    static int _setOptionGeneric(std::vector<Option>& list, const std::wstring& key,
                                 const std::wstring& value, bool append);

protected:
    // Guards the list, the path and the read flag; re-entrant.
    mutable CriticalSection lock_;
    std::wstring configFile_;
    std::vector<Option> options_;
    bool configRead_ = false;

private:
    int setNumericLocked(std::vector<Option>::iterator it, const std::wstring& keyAsGiven, int value);
    int setStringLocked(std::vector<Option>::iterator it, const std::wstring& value);
    void noteNotRead(unsigned int id) const;
    void noteNotRead(const std::wstring& key) const;
};
