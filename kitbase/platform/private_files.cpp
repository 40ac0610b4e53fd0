#include "kitbase/platform/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "kitbase/platform/roots.h"
#include "kitbase/platform/winerror.h"

namespace kitbase {

namespace {

bool ownedSafely(const struct stat& st) {
    return st.st_uid == 0 || st.st_uid == geteuid();
}

bool writableByOthers(const struct stat& st) {
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool refuse(std::string* why, const std::string& reason) {
    if (why)
        *why = reason;
    SetLastError(ERROR_ACCESS_DENIED);
    errno = EACCES;
    return false;
}

}  // namespace

bool ensurePrivateFolder(const std::string& path, unsigned mode, std::string* why) {
    if (path.empty())
        return refuse(why, "no folder");
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            return refuse(why, path + " is not a folder");
        if (!ownedSafely(st))
            return refuse(why, path + " belongs to another user");
        if (writableByOthers(st) && !(st.st_mode & S_ISVTX))
            return refuse(why, path + " is writable by other users");
        return true;
    }
    // Missing parents are made as ensureFolder makes them; the folder itself gets the
    // mode exactly.
    const std::string parent = folderOf(path);
    if (parent != path && parent != "/" && parent != "." && !ensureFolder(parent))
        return refuse(why, "cannot create " + parent);
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return refuse(why, "cannot create " + path);
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !ownedSafely(st))
        return refuse(why, path + " is not a folder of ours");
    if ((st.st_mode & 07777) != mode && chmod(path.c_str(), mode) != 0)
        return refuse(why, "cannot set the mode of " + path);
    return true;
}

int openPrivateAppend(const std::string& path, unsigned mode) {
    if (geteuid() == 0 && !isTrustedPlace(folderOf(path))) {
        errno = EACCES;
        return -1;
    }
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd >= 0)
        return fd;
    if (errno != ENOENT)
        return -1;
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode);
    if (fd < 0 && errno == EEXIST)  // made by someone else just now
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    else if (fd >= 0)
        fchmod(fd, mode);
    return fd;
}

int createExclusive(const std::string& path, unsigned mode, bool removeStale) {
    for (int attempt = 0; attempt < (removeStale ? 2 : 1); ++attempt) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode);
        if (fd >= 0) {
            fchmod(fd, mode);
            return fd;
        }
        if (errno != EEXIST || !removeStale || unlink(path.c_str()) != 0)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

bool writeFileAtomically(const std::string& path, const std::string& content, unsigned mode) {
    std::string temp = path + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), path.c_str()) == 0)
        return true;
    saved = errno ? errno : saved;
    unlink(temp.c_str());
    errno = saved;
    return false;
}

bool isTrustedPlace(const std::string& path, std::string* why) {
    if (geteuid() != 0)
        return true;
    if (path.empty() || path[0] != '/')
        return refuse(why, "not an absolute path: " + path);
    std::string place = path;
    while (place.size() > 1 && place.back() == '/')
        place.pop_back();
    for (;;) {
        struct stat st {};
        if (lstat(place.c_str(), &st) != 0)
            return refuse(why, "cannot look at " + place);
        // A link is followed to its target, which must be trusted as well.
        if (S_ISLNK(st.st_mode)) {
            char* target = realpath(place.c_str(), nullptr);
            if (!target)
                return refuse(why, "cannot resolve " + place);
            std::string resolved = target;
            free(target);
            if (!isTrustedPlace(resolved, why))
                return false;
        } else {
            if (!ownedSafely(st))
                return refuse(why, place + " belongs to another user");
            if (writableByOthers(st) && !(S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)))
                return refuse(why, place + " is writable by other users");
        }
        if (place == "/")
            return true;
        place = folderOf(place);
    }
}

std::string testOverride(const char* name) {
    if (machineRoot().empty())
        return {};
    const char* value = secure_getenv(name);
    return value ? value : "";
}

}  // namespace kitbase
