#pragma once

#include "serialportenvironment.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>

// The far end of a pseudo-terminal, standing in for a device's USB serial
// port where a test needs byte-exact control: the test writes what the
// device sends and reads what the tool wrote.
class RawPty
{
public:
    RawPty();
    ~RawPty();
    RawPty(const RawPty&) = delete;
    RawPty& operator=(const RawPty&) = delete;

    bool isValid() const { return masterFd >= 0; }
    QString slavePath() const { return slave; }

    // Writes everything, as the device would send it.
    bool send(const QByteArray& bytes);
    // What the tool has written since the last call (non-blocking).
    QByteArray receive();
    // Unplugs: closes the master, so the tool's end reports an error.
    void unplug();

private:
    int masterFd = -1;
    QString slave;
};

// A port list a test controls, installed into the serial-port environment
// for the lifetime of the object.
class TestPorts : public SerialPortProvider
{
public:
    TestPorts();
    ~TestPorts() override;

    void setPorts(const QList<SerialPortRecord>& records);
    void setBusDescriptions(const QList<BusDescriptionRecord>& records);

    QList<SerialPortRecord> ports() const override;
    QList<BusDescriptionRecord> busDescriptions() const override;

    // A port record named `portName` at `location` with the given USB ids.
    static SerialPortRecord port(const QString& portName, const QString& location, quint16 vendorId,
                                 quint16 productId, const QString& serialNumber = QString());

private:
    mutable QMutex mutex;
    QList<SerialPortRecord> portRecords;
    QList<BusDescriptionRecord> busRecords;
};
