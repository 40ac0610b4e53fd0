#pragma once
// Named kernel objects shared between processes: the mutex that guards a single
// instance of a program, and a manual-reset event. One object is used by one thread
// at a time; each owns its handle alone.
#include <memory>
#include <string>

#include "kitbase/export.h"
#include "kitbase/platform/named_objects.h"
#include "kitbase/platform/wintypes.h"

class KITBASE_API Mutex {
public:
    explicit Mutex(const std::wstring& name);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Creates the named mutex, owned by this object: 0 for a new mutex,
    // ERROR_ALREADY_EXISTS (183) when another holder has it (the handle then refers
    // to it without owning it), another Windows error code on failure (no handle).
    DWORD Create();
    // Whether a mutex of this name is held now.
    bool checkIfExists();
    // Releases and closes this object's own hold; true when a mutex of the name
    // existed. Another holder's ownership is never taken away.
    bool takeOwnershipAndDestroy();
    // Releases and closes the handle, if one is held.
    void Destroy();

private:
    std::unique_ptr<kitbase::NamedMutexHandle> handle_;
    std::wstring name_;
};

class KITBASE_API Event {
public:
    Event();
    explicit Event(const std::wstring& name);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Creates the named manual-reset event (not signalled) or opens the existing
    // one, keeping the handle: 0 for a new event, ERROR_ALREADY_EXISTS (183) for an
    // existing one, another Windows error code on failure.
    DWORD Create();
    // Whether an event of this name exists; a handle this object holds is kept.
    bool checkIfExists();
    // Signal or clear the event; true on success. A handle opened just for the call
    // is closed again, a held one is kept.
    bool Set();
    bool Reset();
    // Waits for the held handle at most `ms` milliseconds (INFINITE: no limit); true
    // when the event is signalled.
    bool WaitForEvent(DWORD ms);
    // Opens and closes the event (and closes this object's own handle); false when
    // it cannot be opened.
    bool takeOwnershipAndDestroy();
    // Closes the handle, if one is held.
    void Destroy();

private:
    // The held handle, or one opened for the caller (`opened` tells which); null
    // when the event cannot be opened.
    kitbase::NamedEventHandle* open(std::unique_ptr<kitbase::NamedEventHandle>& opened);

    std::unique_ptr<kitbase::NamedEventHandle> handle_;
    std::wstring name_;
};
