#include "historytable.h"

#include <QStringList>
#include <QVector>

#include <algorithm>

namespace HistoryTable {

namespace {

// What a table cell shows for a field the record does not know.
const QString unknown = QStringLiteral("-");

QString orUnknown(const QString& value)
{
    return value.isEmpty() ? unknown : value;
}

QStringList row(const RunRecord& record)
{
    const QDateTime when = record.end.isValid() ? record.end : record.start;
    return {when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
            orUnknown(record.tool),
            orUnknown(record.device),
            orUnknown(record.serial),
            orUnknown(record.before) + QStringLiteral(" -> ") + orUnknown(record.after),
            orUnknown(record.result),
            orUnknown(record.source)};
}

} // namespace

QString format(const QList<RunRecord>& records)
{
    if (records.isEmpty())
        return QStringLiteral("No runs recorded yet.\n");

    QList<QStringList> rows{{QStringLiteral("end"), QStringLiteral("tool"), QStringLiteral("device"),
                             QStringLiteral("serial"), QStringLiteral("before -> after"),
                             QStringLiteral("result"), QStringLiteral("source")}};
    for (const RunRecord& record : records)
        rows.append(row(record));

    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList& cells : rows)
        for (int column = 0; column < cells.size(); ++column)
            widths[column] = std::max(widths[column], int(cells[column].size()));

    QString text;
    for (const QStringList& cells : rows) {
        QString line;
        for (int column = 0; column < cells.size(); ++column) {
            // The last column is not padded: no trailing blanks.
            line += column + 1 < cells.size() ? cells[column].leftJustified(widths[column] + 2)
                                              : cells[column];
        }
        text += line + QLatin1Char('\n');
    }
    return text;
}

} // namespace HistoryTable
