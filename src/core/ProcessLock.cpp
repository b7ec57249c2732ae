// Claims through lock files.
#include "core/ProcessLock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trm {
namespace {

std::mutex claimsMutex;
std::map<std::string, int>& Claims() {
    static std::map<std::string, int> claims; // key -> the locked file
    return claims;
}

bool IsKey(const std::string& key) {
    if (key.empty() || key.size() > 200 || key[0] == '.') {
        return false;
    }
    for (const char c : key) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == '%';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string LockPath(const std::string& key) {
    const char* dir = std::getenv("TRM415_LOCK_DIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/run/lock") + "/trm415-" + key +
           ".lock";
}

flock WholeFile(short type) {
    flock l{};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    return l;
}

// What the holder wrote into the file: its process number and name.
std::string HolderText(int fd) {
    char buffer[128] = {};
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    std::string text;
    for (ssize_t i = 0; i < n && buffer[i] != '\n'; ++i) {
        const char c = buffer[i];
        text += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    const auto space = text.find(' ');
    if (space == std::string::npos) {
        return "another process";
    }
    return "process " + text.substr(0, space) + " (" + text.substr(space + 1) + ")";
}

std::string OwnName() {
    char comm[64] = {};
    if (FILE* f = std::fopen("/proc/self/comm", "r")) {
        if (std::fgets(comm, sizeof comm, f) == nullptr) {
            comm[0] = '\0';
        }
        std::fclose(f);
    }
    std::string name(comm);
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) {
        name.pop_back();
    }
    return name.empty() ? "unknown" : name;
}

} // namespace

std::string LockKey(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string key;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '-' || c == '_') {
            key += c;
        } else {
            key += '%';
            key += hex[u >> 4];
            key += hex[u & 15];
        }
    }
    return key;
}

bool ClaimLock(const std::string& key, std::string& holder, int& error) {
    if (!IsKey(key)) {
        error = EINVAL;
        return false;
    }
    std::lock_guard lock(claimsMutex);
    if (Claims().count(key) > 0) {
        return true;
    }
    const std::string path = LockPath(key);
    if (const char* dir = std::getenv("TRM415_LOCK_DIR"); dir != nullptr && *dir != '\0') {
        ::mkdir(dir, 0777); // a directory of one's own (the tests'): made when missing
    }
    // An existing file is opened without O_CREAT: in a sticky directory the kernel may
    // refuse O_CREAT on another user's file. A new one is made readable and writable by
    // all, so that a window run by an operator and the station's service user meet on
    // the same file.
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666);
        } else if (errno == EEXIST) {
            fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        }
    }
    if (fd < 0) {
        error = errno;
        return false;
    }
    flock l = WholeFile(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &l) != 0) {
        error = errno == EAGAIN || errno == EACCES ? EBUSY : errno;
        holder = error == EBUSY ? HolderText(fd) : std::string();
        ::close(fd);
        return false;
    }
    const std::string me = std::to_string(::getpid()) + " " + OwnName() + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t n = ::pwrite(fd, me.data(), me.size(), 0);
    }
    Claims()[key] = fd;
    return true;
}

std::string LockHolder(const std::string& key) {
    if (!IsKey(key)) {
        return {};
    }
    {
        std::lock_guard lock(claimsMutex);
        if (Claims().count(key) > 0) {
            return {};
        }
    }
    const int fd = ::open(LockPath(key).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return {};
    }
    flock l = WholeFile(F_WRLCK);
    std::string holder;
    if (::fcntl(fd, F_OFD_GETLK, &l) == 0 && l.l_type != F_UNLCK) {
        holder = HolderText(fd);
    }
    ::close(fd);
    return holder;
}

void ReleaseLocks(const std::string& prefix) {
    std::lock_guard lock(claimsMutex);
    for (auto it = Claims().begin(); it != Claims().end();) {
        if (it->first.rfind(prefix, 0) == 0) {
            ::close(it->second);
            it = Claims().erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace trm
