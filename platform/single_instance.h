#pragma once
// One running copy per program and user: an exclusive flock on
// "<runtime dir>/<name>.lock". The kernel drops the lock when the process ends,
// however it ends, so a crash never leaves a stale "another copy runs" behind.
// Plain C++ without Qt; halyard and brandkit both use it.
#include <string>

// $XDG_RUNTIME_DIR when it is set to an absolute path, else "/tmp".
std::string runtimeDirectory();

// "<runtime dir>/<name>.lock". In the shared "/tmp" fallback the user id is
// added ("/tmp/<name>-<uid>.lock") so that users do not block each other.
// A "/" in the name becomes "_".
std::string singleInstanceLockPath(const std::string& name);

// Takes the lock for `name` and holds it until releaseSingleInstance() or the
// end of the process. Returns false only when another process holds it (the
// caller then exits at once). When the lock file cannot be opened at all,
// nothing can be told about other copies and the result is true.
bool acquireSingleInstance(const std::string& name);

// Whether this process holds the lock now.
bool holdsSingleInstance();

// Drops the lock (reset function; also used between tests).
void releaseSingleInstance();
