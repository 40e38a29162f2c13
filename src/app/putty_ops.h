#pragma once
// The page operations of the PuTTY import and the licence notices.
namespace morvane {
class MorvaneApp;
void install_putty_ops(MorvaneApp& app);
}  // namespace morvane
