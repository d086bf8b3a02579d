// Arbitrary registry and profile file texts: parsing never crashes, a registry file written
// back reads the same, and setting a profile value then finds exactly that value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/ProfileFile.h"
#include "platform/RegistryFile.h"

namespace {

bool SameKeys(const vserver::platform::RegistryFile& a, const vserver::platform::RegistryFile& b) {
    if (a.keys().size() != b.keys().size()) return false;
    for (std::size_t k = 0; k < a.keys().size(); ++k) {
        const auto& x = a.keys()[k];
        const auto& y = b.keys()[k];
        if (x.path != y.path || x.values.size() != y.values.size()) return false;
        for (std::size_t v = 0; v < x.values.size(); ++v) {
            if (x.values[v].name != y.values[v].name || x.values[v].data != y.values[v].data ||
                x.values[v].isString != y.values[v].isString) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    auto registry = vserver::platform::RegistryFile::Parse(text);
    auto again = vserver::platform::RegistryFile::Parse(registry.Serialize());
    if (!SameKeys(registry, again)) std::abort();

    vserver::platform::ProfileFile profile{std::string(text)};
    (void)profile.Find("General", "FontSize");
    profile.Set("General", "FontSize", "14");
    auto value = profile.Find("General", "FontSize");
    if (!value || *value != "14") std::abort();
    return 0;
}
