// Files that only the machine's administrators and their owner may read (the register's key),
// on Windows: the security descriptor stands in for the POSIX mode 0600.
#pragma once

#include <string>

namespace gateway::winfile {

// Windows' own text for an error code (GetLastError's), without the trailing line break and
// full stop; "error N" when Windows has none.
std::string SystemText(unsigned long code);

enum class ReadResult {
    Ok,
    Missing,      // there is no such file
    Failed,       // it cannot be opened or read: `detail` says why
    NotAFile,     // a folder, a device or a link
    OpenToOthers, // its access list lets others read it: `detail` names who
};

// Reads at most `max` bytes of `path` into `text`, after checking that no one beyond SYSTEM,
// the Administrators and the file's owner may read it (no access list at all counts as open
// to everyone).
ReadResult ReadPrivate(const std::string& path, size_t max, std::string& text, std::string& detail);

// Creates `path`, which must not exist, with an access list of its own (SYSTEM, the
// Administrators and the user running this program, nothing inherited), writes `text` and
// flushes it to the disk. False with `detail` set when it cannot; a half-written file is
// removed.
bool WritePrivate(const std::string& path, const std::string& text, std::string& detail);

} // namespace gateway::winfile
