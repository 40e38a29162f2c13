#pragma once
// Each connection kind or desktop service beyond the core installs its start routines,
// bridge operations and hooks on the application object here, from its own file.
namespace morvane {
class MorvaneApp;
void install_modules(MorvaneApp& app);
void install_ssh(MorvaneApp& app);      // src/app/ssh_tab.cpp
void install_serial(MorvaneApp& app);   // src/app/serial_tab.cpp
void install_desktop(MorvaneApp& app);  // src/app/desktop_ops.cpp
}  // namespace morvane
