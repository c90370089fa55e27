#include "policy/registry_shell.h"

namespace varnholt {

SharedInstance<RegistryShell>& SharedShell() {
    static SharedInstance<RegistryShell> shell([] { return platform::CreateRegistryShell(); });
    return shell;
}

}  // namespace varnholt
