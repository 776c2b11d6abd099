#pragma once

namespace Tarnwick {

// Sets up the web engine's process environment; call before the application
// object is made. The engine's sandbox cannot run as root, so it is switched off
// for the root user only.
void prepareWebEngine();

// Makes the home-page browser draw its pages with the web engine.
void installWebEngineBrowser();

} // namespace Tarnwick
