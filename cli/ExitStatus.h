#pragma once

// kelvane-cli's exit statuses, the same for a run and for check; --help lists them.
namespace exitstatus {

inline constexpr int kOk = 0;
// A file could not be read or written (or the server command failed).
inline constexpr int kFile = 1;
// A usage error, or a field that cannot be written: nothing was read or written.
inline constexpr int kUsage = 2;
// A run with --strict refused a line; check found something.
inline constexpr int kFindings = 3;

} // namespace exitstatus
