#include "win.h"

#include "debugline.h"

Win::Win(QObject* parent) : QObject(parent) {}

QString Win::getSerialPortBusDesc(QString portName)
{
    return matchBusDescription(portName, SerialPortEnvironment::busDescriptionRecords());
}

QString Win::matchBusDescription(const QString& portName,
                                 const QList<BusDescriptionRecord>& records)
{
    QString result;
    for (const BusDescriptionRecord& record : records) {
        const int open = record.friendlyName.indexOf(QLatin1Char('('));
        const int close = record.friendlyName.indexOf(QLatin1Char(')'));
        // A negative length (no ")", or ")" before "(") takes the rest of the name.
        const QString portPart = record.friendlyName.mid(open + 1, close - open - 1);
        debugLine() << "WINAPI com_port: " << portPart << " port_name " << record.busDescription;
        if (portPart == portName)
            result = record.busDescription;
    }
    return result;
}
