#include "app/modules.h"
#include "app/morvane_app.h"

namespace morvane {
void install_desktop(MorvaneApp& app) {}
}  // namespace morvane
