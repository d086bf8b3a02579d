#include "vserverctl/Terminal.h"

#include <unistd.h>

namespace vserver::ctl {

// Standard input has no text mode here.
void ReadStandardInputAsBytes() {}

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

} // namespace vserver::ctl
