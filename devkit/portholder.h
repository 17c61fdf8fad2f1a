#pragma once

#include <QObject>
#include <QString>

class QSerialPort;

// Holds a serial port open the way another serial program would (Qt Serial
// Port: its lock file and exclusive mode), so the tool finds the port taken.
// Used by the demo and, through `korvo-sim --hold`, from another process.
class PortHolder : public QObject
{
    Q_OBJECT

public:
    explicit PortHolder(QObject* parent = nullptr);
    ~PortHolder() override;

    // Opens `systemLocation` (e.g. /dev/pts/5) for reading and writing.
    bool hold(const QString& systemLocation);
    void release();
    QString errorString() const;

private:
    QSerialPort* port = nullptr;
};
