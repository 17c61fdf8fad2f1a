#pragma once

#include <QString>

// The per-user folders the window and the command-line tool share: both use
// the window's identity (organisation "Trennic", application "Trennic
// Flasher"), whatever the running process calls itself, so what one of them
// stored the other finds.
namespace UserFolders {

// Organisation and application names of the window.
extern const char* const organisationName;
extern const char* const applicationName;

// QStandardPaths::CacheLocation of the window's identity, e.g.
// ~/.cache/Trennic/Trennic Flasher on Linux. Not created.
QString cacheFolder();

// QStandardPaths::AppLocalDataLocation of the window's identity, e.g.
// ~/.local/share/Trennic/Trennic Flasher on Linux. Not created.
QString dataFolder();

// <dataFolder()>/logs: where every process writes its log file.
QString logsFolder();

} // namespace UserFolders
