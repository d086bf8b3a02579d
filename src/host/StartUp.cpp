#include "host/StartUp.h"

#include "host/RunLoop.h"
#include "settings/ServiceLog.h"

namespace vserver::host {

int StartUp(int, char**) {
    ServiceModule module;
    Run(module);
    settings::WriteServiceLog("Service ending normally");
    return 0;
}

} // namespace vserver::host
