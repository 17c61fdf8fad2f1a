#pragma once

#include "runrecord.h"

#include <QList>
#include <QString>

// The text `trennic-flasher-cli --history` prints: one row per run, oldest
// first, in columns sized to their contents (end time, tool, device, serial,
// before -> after, result, source), or one line saying the record is empty.
namespace HistoryTable {

QString format(const QList<RunRecord>& records);

} // namespace HistoryTable
