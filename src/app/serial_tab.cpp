#include "app/modules.h"
#include "app/morvane_app.h"

namespace morvane {
void install_serial(MorvaneApp& app) {}
}  // namespace morvane
