#pragma once

#include "serialportenvironment.h"

#include <QObject>
#include <QString>

// Names the USB device behind a serial port by the description its own USB
// descriptors report, which is the same on every computer and across firmware
// versions. The platform step (BusDescriptions, in platform/) lists the
// present ports' bus descriptions and friendly names; the matching step
// below is the same on every platform.
class Win : public QObject
{
    Q_OBJECT

public:
    explicit Win(QObject* parent = nullptr);

    // Bus description of the device behind `portName` (e.g. COM7), or an
    // empty string when no present port has that name.
    static QString getSerialPortBusDesc(QString portName);

    // The matching step: the port part of a friendly name is the text between
    // its first "(" and its first ")"; a later matching record wins.
    static QString matchBusDescription(const QString& portName,
                                       const QList<BusDescriptionRecord>& records);
};
