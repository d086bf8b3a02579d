#pragma once
// The registry store kept in the system registry. Key paths begin with a hive's full name
// (HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_USERS, HKEY_CURRENT_CONFIG).

#include <memory>

#include "platform/RegistryStore.h"

namespace vserver::platform {

std::unique_ptr<RegistryStore> OpenSystemRegistry();

} // namespace vserver::platform
