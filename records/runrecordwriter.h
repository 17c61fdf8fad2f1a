#pragma once

#include "dfu_client.h"
#include "runrecord.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <optional>

class USB_StmFlasher;

// Appends one line to the run record for every flashing run of its link:
// what the link knew of the device, what the engine sent and how the run
// ended, and, after a success, the version the device came back with. A
// failed run is written at once; a success once the device has returned or
// the wait for it has run out (or a new run starts, or the link goes away:
// `after` then stays null). It observes the link through its signals and is
// its child; the tool that keeps a record has one made for every link
// (recordEveryLink). Writes only while the process has named its tool, so
// tests that do not keep a record leave the user's folder alone.
class RunRecordWriter : public QObject
{
    Q_OBJECT

public:
    explicit RunRecordWriter(USB_StmFlasher* link);
    ~RunRecordWriter() override;

    // The process's tool for the record's "tool" field: "window" or "cli".
    // Empty (the default) writes nothing. Set once at start-up.
    static void setTool(const QString& tool);
    // setTool, and a writer for every link created from now on (none again
    // for an empty tool).
    static void recordEveryLink(const QString& tool);
    static QString tool();

    // The file written to; RunRecord::defaultPath() unless set.
    void setPath(const QString& path) { recordPath = path; }

private:
    void onRunStarted(const QString& source);
    void onRunFinished(DFU_client::FlashResult result, const QString& message);
    void onDeviceReturned(const QString& version);
    void onLinkChanged();
    // Takes what the link now knows of the device into the run's record.
    void takeDeviceFields();
    void write();

    USB_StmFlasher* link;
    QString recordPath;
    std::optional<RunRecord> pending; // a run under way or waiting for its device
    bool waitingForReturn = false;
    QElapsedTimer runClock;
};
