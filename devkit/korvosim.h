#pragma once

#include <QStringList>

// korvo-sim: one emulated device and the local firmware server, for trying
// the tool by hand and for the demo.
//   korvo-sim --firmware-dir DIR [--device-name NAME] [--version 0105] [options]
//   korvo-sim --make-sample-firmware DIR
//   korvo-sim --hold PATH [--hold-ms MS]   (holds a port, as another program would)
// Prints the pty, the server's base URL and the CA file, then runs until
// interrupted.
namespace KorvoSim {

int run(const QStringList& arguments);

} // namespace KorvoSim
