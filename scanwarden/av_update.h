#pragma once
// The common base of the two updaters run by the update thread: the engine update and
// the product update.
#include <cstdint>
#include <string>

class AVUpdate {
public:
    virtual ~AVUpdate() = default;
    AVUpdate(const AVUpdate&) = delete;
    AVUpdate& operator=(const AVUpdate&) = delete;

    // One update run against one update server; `reload` concerns the engine update
    // (reload the engine from the updated files). 0 updated, 4135 nothing new, else a
    // failure code.
    virtual unsigned int update(const std::wstring& server, bool reload) = 0;
    // The last validated package (product update).
    virtual std::wstring& getFile() { return file_; }
    // The kind and outcome: 0 for the engine update; the product update is built with 1.
    virtual int32_t getState() const { return state_; }

protected:
    explicit AVUpdate(int32_t state) : state_(state) {}

    std::wstring file_;
    int32_t state_;
};
