#pragma once
// The console's standard streams as the system it runs on has them.

namespace vserver::ctl {

// Standard input gives its bytes unchanged (no line-end translation, no end at Ctrl-Z).
void ReadStandardInputAsBytes();

// True when standard error is a terminal a person watches.
bool StandardErrorIsTerminal();

} // namespace vserver::ctl
