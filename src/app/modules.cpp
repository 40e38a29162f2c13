#include "app/modules.h"

namespace morvane {
void install_modules(MorvaneApp& app) {
  install_ssh(app);
  install_serial(app);
  install_desktop(app);
}
}  // namespace morvane
