#pragma once
// How this backend completes unsynced writes: the work CompleteWrite does at once and the sync
// thread does for a batch. Writes are flushed together, a file once for every write made to it
// and a folder once for every rename into it.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/DurableWrites.h"

namespace vserver::platform::writes {

struct Job {
    UnsyncedWrite write;
    std::function<void(SysResult)> done;
    SysResult result = SysResult::Ok();
    int replaceAttempts = 0;  // renames over a target that another program held
    bool busy = false;        // the last rename met such a hold: the write is tried again later
};

// True when a rename over an existing file failed only because another program (a virus
// scanner, a backup agent, the search indexer) holds the file open without delete sharing;
// such holds are short, so trying again later may succeed.
bool MetHold(const SysResult& result);

// Does what the jobs owe. A replacement whose target is held, and that has had fewer than
// attempts tries, stays owed and is marked busy (its temporary and lock kept) for the caller
// to try again; other jobs are finished, successfully or not.
void CompleteBatch(const std::vector<Job*>& jobs, int attempts);

// Completes job on the calling thread, waiting there a little for a holder of its target.
void CompleteAtOnce(Job& job);

// The trace lines of a finished or busy batch.
std::string TraceLines(const std::vector<Job*>& jobs);

} // namespace vserver::platform::writes
