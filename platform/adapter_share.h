#pragma once
// Sharing the adapters between the exporter and the other halyard programs.
// The window and the commands keep their single-instance lock; the exporter
// steps aside for them. Two flock files in adapterShareDirectory() carry it:
//
//   exporter-cycle.lock  held exclusively by the exporter while it drives the
//                        adapters (its interfaces open, its cycle running);
//   halyard-users.lock   held shared by every other halyard program for its
//                        whole life.
//
// A program claims the adapters by taking its shared lock first, then waiting
// until the exporter's lock is free. The exporter takes its own lock first,
// then checks that no one holds a shared lock, and checks again between ticks;
// when it finds one it closes its interfaces and drops its lock, and it resumes
// only when every shared lock is gone. Whichever order the two start in, at
// most one drives the adapters. The kernel drops both locks when a process
// ends, however it ends.
#include <cstdint>
#include <string>

// "/run/halyard" when it exists and this process may create files there (the
// package makes it for the group halyard, so a service and a desktop user meet
// there), else runtimeDirectory().
std::string adapterShareDirectory();
// Puts the two lock files in `folder` instead ("" restores the search above):
// tests keep their programs' claims to themselves, so a test's exporter is
// never paused by a window another test opens at the same time.
void setAdapterShareDirectory(const std::string& folder);

// ---- The window and the commands ----------------------------------------------
// Takes the shared lock and waits (polling every 50 ms on the real clock, at
// most `timeoutMs`) until the exporter has let go of the adapters. Returns
// false only when the exporter kept them past the timeout; the lock is still
// held then, so the exporter still steps aside at its next tick.
bool claimAdaptersFromExporter(uint32_t timeoutMs);
// Drops the shared lock (end of the program; also between tests).
void releaseAdapterClaim();
bool holdsAdapterClaim();

// ---- The exporter ---------------------------------------------------------------
// True when another halyard program holds (or is taking) the shared lock.
bool adaptersWanted();
// Takes the exporter's lock when no one wants the adapters. False (and not
// held) when another program holds the shared lock.
bool takeAdaptersForExporter();
// Drops the exporter's lock; call after the interfaces are closed.
void yieldAdaptersFromExporter();
bool exporterHoldsAdapters();
