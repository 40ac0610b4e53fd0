#pragma once
// The wire between the service manager's parts: local sequenced-packet sockets that
// carry one short text message per packet ("VERB arg arg ..."). Used by the console
// side of the manager, the supervisor of a service and the service's dispatcher.
#include <string>
#include <vector>

#include "kitbase/export.h"
#include "kitbase/platform/service_status.h"

namespace kitbase {

class KITBASE_API ServiceChannel {
public:
    static constexpr size_t kMaxMessage = 4096;

    // A listening socket at `path` (a stale socket file is replaced), or -1 with the
    // last error set.
    static int listenOn(const std::string& path);
    // A connection to the socket at `path`, or -1 with the last error set.
    static int connectTo(const std::string& path);
    // Sends one message; false when the peer is gone.
    static bool send(int fd, const std::string& message);
    // Receives one message, waiting at most `timeoutMs` (-1: no limit); false on
    // time-out (last error ERROR_TIMEOUT), end of connection or error.
    static bool receive(int fd, std::string& message, int timeoutMs);
    // The user id of the connected peer and its process id.
    static bool peer(int fd, unsigned& uid, int& pid);

    static std::vector<std::string> words(const std::string& message);

    // The status record as message words and back.
    static std::string statusText(const SERVICE_STATUS_PROCESS& status);
    static bool parseStatus(const std::vector<std::string>& words, size_t first,
                            SERVICE_STATUS_PROCESS& status);
};

}  // namespace kitbase
