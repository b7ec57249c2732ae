// Claims across processes, through lock files: whoever works on a thing (the unit on a
// USB port, a station of a name) holds an exclusive lock on a file named after it, in
// /run/lock (or $TRM415_LOCK_DIR), until the process ends or lets it go. A second
// program sees the lock, leaves the thing alone and can say who holds it: the file
// names the holding process. The lock is an open-file-description lock, so the kernel
// drops it when its holder ends, however it ends.
#pragma once

#include <string>

namespace trm {

// Claims `key` for this process (a key held already: true at once). False when another
// process holds it, with `error` EBUSY and `holder` saying which ("process 4242
// (trm415-run)"), or when the lock file cannot be used (`error` its errno). A key is a
// name made of letters, digits, '.', '-' and '_'.
bool ClaimLock(const std::string& key, std::string& holder, int& error);

// Who holds `key`, without claiming it: empty when nobody does, or this process does.
std::string LockHolder(const std::string& key);

// Lets go of every key this process holds whose name begins with `prefix`.
void ReleaseLocks(const std::string& prefix);

// `text` as a lock key: letters, digits, '.', '-' and '_' kept, any other byte as %XX.
std::string LockKey(const std::string& text);

} // namespace trm
