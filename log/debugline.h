#pragma once

#include <QDebug>
#include <QString>

// Starts one line of the tool's debug log: the local time as a quoted
// "hh:mm:ss:zzz" text, then the literal Debug :, then whatever the caller
// streams in, e.g.  "09:12:33:045" Debug : tim_portCheckerTimeout
// The line is written when the returned stream goes out of scope. Every log
// line of the tool starts here; no call site writes the prefix itself.
QDebug debugLine();

// The same start of a line as plain text, "09:12:33:045" Debug : (no
// trailing space), for the log file, which puts it before lines that came
// without it (QML's console.log, Qt's own warnings).
QString debugLinePrefix();

// True when `line` already starts as debugLine() starts a line.
bool hasDebugLinePrefix(const QString& line);
