#include "vserverctl/Terminal.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace vserver::ctl {

void ReadStandardInputAsBytes() { (void)::_setmode(::_fileno(stdin), _O_BINARY); }

bool StandardErrorIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

} // namespace vserver::ctl
