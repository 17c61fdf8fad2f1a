#include "runrecord.h"

#include "debugline.h"
#include "userfolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>

namespace {

QJsonValue text(const QString& value)
{
    return value.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(value);
}

QJsonValue number(const std::optional<qint64>& value)
{
    return value ? QJsonValue(double(*value)) : QJsonValue(QJsonValue::Null);
}

QJsonValue time(const QDateTime& value)
{
    if (!value.isValid())
        return QJsonValue::Null;
    // Local time with its offset, e.g. 2026-12-07T23:10:15+03:00 (Z for UTC).
    return value.toOffsetFromUtc(value.offsetFromUtc()).toString(Qt::ISODate);
}

QString textOf(const QJsonValue& value)
{
    return value.isString() ? value.toString() : QString();
}

std::optional<qint64> numberOf(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    return qint64(value.toDouble());
}

QDateTime timeOf(const QJsonValue& value)
{
    return value.isString() ? QDateTime::fromString(value.toString(), Qt::ISODate) : QDateTime();
}

// True when the file is there and its last byte is not a line end: the last
// write was torn.
bool endsTorn(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return false;
    char last = 0;
    return file.seek(file.size() - 1) && file.getChar(&last) && last != '\n';
}

} // namespace

QJsonObject RunRecord::toJson() const
{
    QJsonValue board = QJsonValue::Null;
    if (boardVersion || !boardRevision.isNull())
        board = QJsonObject{{QStringLiteral("version"), number(boardVersion)},
                            {QStringLiteral("revision"), text(boardRevision)}};
    QJsonObject json{
        {QStringLiteral("start"), time(start)},
        {QStringLiteral("end"), time(end)},
        {QStringLiteral("tool"), text(tool)},
        {QStringLiteral("version"), text(toolVersion)},
        {QStringLiteral("device"), text(device)},
        {QStringLiteral("serial"), text(serial)},
        {QStringLiteral("board"), board},
        {QStringLiteral("bootloader"), number(bootloader)},
        {QStringLiteral("before"), text(before)},
        {QStringLiteral("source"), text(source)},
        {QStringLiteral("size"), number(size)},
        {QStringLiteral("sha256"), text(sha256)},
        {QStringLiteral("result"), text(result)},
        {QStringLiteral("message"), text(message)},
        {QStringLiteral("packets"), number(packets)},
        {QStringLiteral("resends"), number(resends)},
        {QStringLiteral("ms"), number(ms)},
        {QStringLiteral("after"), text(after)},
    };
    // Only for a run whose signature was checked.
    const auto addText = [&json](const char* key, const QString& value) {
        if (!value.isEmpty())
            json.insert(QLatin1String(key), value);
    };
    addText("signingKey", signingKey);
    addText("signedVersion", signedVersion);
    addText("signatureFailure", signatureFailure);
    if (downgrade)
        json.insert(QStringLiteral("downgrade"), *downgrade);
    return json;
}

std::optional<RunRecord> RunRecord::fromJson(const QJsonObject& json)
{
    RunRecord record;
    record.start = timeOf(json.value(QStringLiteral("start")));
    record.end = timeOf(json.value(QStringLiteral("end")));
    if (!record.start.isValid() && !record.end.isValid())
        return std::nullopt;
    record.tool = textOf(json.value(QStringLiteral("tool")));
    record.toolVersion = textOf(json.value(QStringLiteral("version")));
    record.device = textOf(json.value(QStringLiteral("device")));
    record.serial = textOf(json.value(QStringLiteral("serial")));
    const QJsonObject board = json.value(QStringLiteral("board")).toObject();
    record.boardVersion = numberOf(board.value(QStringLiteral("version")));
    record.boardRevision = textOf(board.value(QStringLiteral("revision")));
    record.bootloader = numberOf(json.value(QStringLiteral("bootloader")));
    record.before = textOf(json.value(QStringLiteral("before")));
    record.source = textOf(json.value(QStringLiteral("source")));
    record.size = numberOf(json.value(QStringLiteral("size")));
    record.sha256 = textOf(json.value(QStringLiteral("sha256")));
    record.result = textOf(json.value(QStringLiteral("result")));
    record.message = textOf(json.value(QStringLiteral("message")));
    record.packets = numberOf(json.value(QStringLiteral("packets")));
    record.resends = numberOf(json.value(QStringLiteral("resends")));
    record.ms = numberOf(json.value(QStringLiteral("ms")));
    record.after = textOf(json.value(QStringLiteral("after")));
    record.signingKey = textOf(json.value(QStringLiteral("signingKey")));
    record.signedVersion = textOf(json.value(QStringLiteral("signedVersion")));
    record.signatureFailure = textOf(json.value(QStringLiteral("signatureFailure")));
    const QJsonValue downgrade = json.value(QStringLiteral("downgrade"));
    if (downgrade.isBool())
        record.downgrade = downgrade.toBool();
    return record;
}

QString RunRecord::defaultPath()
{
    return QDir(UserFolders::dataFolder()).filePath(QStringLiteral("runs.jsonl"));
}

bool RunRecord::append(const RunRecord& record, const QString& path)
{
    QByteArray line = QJsonDocument(record.toJson()).toJson(QJsonDocument::Compact);
    line += '\n';
    if (endsTorn(path))
        line.prepend('\n');

    QFile file(path);
    // Unbuffered: the line reaches the operating system in one write, which
    // appends it whole even when another process appends at the same time.
    const bool written = QDir().mkpath(QFileInfo(path).absolutePath())
        && file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)
        && file.write(line) == line.size();
    if (!written) {
        debugLine() << "run record not written:" << path << file.errorString();
        return false;
    }
    return true;
}

QList<RunRecord> RunRecord::readLast(int count, const QString& path)
{
    QList<RunRecord> records;
    QFile file(path);
    if (count <= 0 || !file.open(QIODevice::ReadOnly))
        return records;

    // `pending` holds the bytes from `position` up to the first line already
    // taken; it always ends with a line end (or is empty) once the torn tail
    // is gone.
    qint64 position = file.size();
    QByteArray pending;
    bool tailChecked = false;
    while (records.size() < count && (position > 0 || !pending.isEmpty())) {
        if (position > 0) {
            const qint64 length = qMin(readChunkBytes, position);
            position -= length;
            if (!file.seek(position))
                break;
            pending.prepend(file.read(length));
        }
        if (!tailChecked) {
            // A last line without its line end is a write that was cut off.
            if (!pending.endsWith('\n')) {
                const int lineEnd = pending.lastIndexOf('\n');
                if (lineEnd < 0 && position > 0)
                    continue;
                pending.truncate(lineEnd + 1);
            }
            tailChecked = true;
        }
        while (records.size() < count && !pending.isEmpty()) {
            const int end = pending.size() - 1;
            const int previousEnd = end > 0 ? pending.lastIndexOf('\n', end - 1) : -1;
            if (previousEnd < 0 && position > 0)
                break; // the line's start is still to be read
            const QByteArray line = pending.mid(previousEnd + 1, end - previousEnd - 1).trimmed();
            pending.truncate(previousEnd + 1);
            const QJsonDocument document = QJsonDocument::fromJson(line);
            if (!document.isObject())
                continue;
            if (const std::optional<RunRecord> record = fromJson(document.object()))
                records.prepend(*record);
        }
    }
    return records;
}

bool RunRecord::operator==(const RunRecord& other) const
{
    return start == other.start && end == other.end && tool == other.tool
        && toolVersion == other.toolVersion && device == other.device && serial == other.serial
        && boardVersion == other.boardVersion && boardRevision == other.boardRevision
        && bootloader == other.bootloader && before == other.before && source == other.source
        && size == other.size && sha256 == other.sha256 && result == other.result
        && message == other.message && packets == other.packets && resends == other.resends
        && ms == other.ms && after == other.after && signingKey == other.signingKey
        && signedVersion == other.signedVersion && downgrade == other.downgrade
        && signatureFailure == other.signatureFailure;
}
