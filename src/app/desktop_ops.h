#pragma once
// The page operations of the desktop (images, links, clipboard, the output wait).
namespace morvane {
class MorvaneApp;
void install_desktop_ops(MorvaneApp& app);
}  // namespace morvane
