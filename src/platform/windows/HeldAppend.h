#pragma once
// The append of RecordAppend.cpp for a caller that goes on to flush what it wrote.

#include <string>
#include <string_view>

#include "Win32Error.h"
#include "platform/RecordAppend.h"

namespace vserver::platform {

// Appends as AppendNulTerminated does and, when it succeeds, leaves file holding the data file
// it wrote to, open for writing: its flush then needs no second open, which is a round trip to
// the Wine server under Wine, and flushes that very file whatever its name names by then.
SysResult AppendHoldingFile(const std::string& path, std::string_view text, AppendOpen how, LockWait wait,
                            OwnedHandle& file);

} // namespace vserver::platform
