#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// One flashing run, as the window or the command-line tool appends it to the
// run record: one JSON object per line in <the window's per-user data
// folder>/runs.jsonl. Text fields left null, and numbers left empty, are
// written as JSON null ("not known"), e.g. `before` when this process never
// saw the device in its application firmware.
//
// JSON keys: start, end (ISO 8601 with the UTC offset), tool ("window" or
// "cli"), version (of the tool), device, serial, board ({"version": 7,
// "revision": "C"}), bootloader, before, source, size, sha256 (lower-case
// hex), result (the name of the run's outcome, e.g. "FlashSucceeded"),
// message, packets, resends, ms, after; for a run whose image's signature
// was checked also signingKey (the key id), signedVersion, downgrade (true
// or false) and, when it was refused, signatureFailure (the name of why);
// these four are left out, not null, when no signature was checked.
struct RunRecord
{
    QDateTime start;
    QDateTime end;
    QString tool; // "window" or "cli"
    QString toolVersion; // key "version"
    QString device; // the device's name
    QString serial; // USB serial number
    std::optional<qint64> boardVersion; // key "board", with boardRevision
    QString boardRevision;
    std::optional<qint64> bootloader; // boot-loader version
    QString before; // firmware version before the reboot into the boot loader
    QString source; // URL or file path
    std::optional<qint64> size; // bytes sent, the trailer dropped
    QString sha256; // of the bytes sent
    QString result;
    QString message; // the text the user was shown
    std::optional<qint64> packets;
    std::optional<qint64> resends;
    std::optional<qint64> ms; // duration of the run
    QString after; // firmware version the device came back with
    QString signingKey; // the signature's key id, as minisign prints it
    QString signedVersion; // the trusted comment's "version:"
    std::optional<bool> downgrade; // the signed version was older than the unit's firmware
    QString signatureFailure; // FirmwareSignature::Failure name of a refused signature

    // How much of the file a reader takes at a time, from the end.
    static constexpr qint64 readChunkBytes = qint64(64) * 1024;

    QJsonObject toJson() const;
    // A record from one parsed line; fields of the wrong type count as
    // unknown. std::nullopt when `json` lacks "start" and "end" both.
    static std::optional<RunRecord> fromJson(const QJsonObject& json);

    // <the window's per-user data folder>/runs.jsonl
    static QString defaultPath();

    // Appends `record` as one line: the whole line in one write, flushed.
    // A file whose last line was torn (no line end) gets a line end first,
    // so the new record starts a line of its own. A failure is logged and
    // returned, never fatal.
    static bool append(const RunRecord& record, const QString& path = defaultPath());

    // The last `count` records of the file, oldest first. A torn last line
    // and lines that are not records are skipped. Reads from the end, so a
    // long record costs no more than a short one.
    static QList<RunRecord> readLast(int count, const QString& path = defaultPath());

    bool operator==(const RunRecord& other) const;
    bool operator!=(const RunRecord& other) const { return !(*this == other); }
};
