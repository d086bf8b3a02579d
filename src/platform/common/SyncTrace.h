#pragma once
// Tests observe the order of syncs and replies through the file that VSERVER_SYNC_TRACE names:
// one line per finished write ("synced <target>" or "failed <target>"), followed by
// "synced folder <folder>" when the write's folder was synced too, appended before its
// completion is handed to the loop. A write whose target another program holds adds
// "busy <target>" each time it has to wait for it.

#include <string>

#include "platform/DurableWrites.h"

namespace vserver::platform {

class SyncTrace {
public:
    SyncTrace();
    bool on() const { return !path_.empty(); }
    // The lines of one write with its outcome.
    static void Describe(const UnsyncedWrite& write, const SysResult& result, std::string& lines);
    // Appends lines to the trace file; nothing when no trace is asked for.
    void Append(const std::string& lines) const;

private:
    std::string path_;
};

} // namespace vserver::platform
