#pragma once

#include "portproblem_platform.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <QString>

// Why a Korvo port that the scan found could not be opened, in terms the user
// can act on: another program has it, the user may not open it, or the serial
// layer's own error.
struct PortProblem
{
    Q_DECLARE_TR_FUNCTIONS(PortProblem)

public:
    enum class Kind {
        None,
        InUse,
        PermissionDenied,
        OpenFailed,
    };

    Kind kind = Kind::None;
    QString portName; // as listed, e.g. COM5 or ttyACM0
    QString systemLocation; // as opened, e.g. /dev/ttyACM0
    QSerialPort::SerialPortError error = QSerialPort::NoError;
    QString errorText; // the serial layer's text

    // Classifies a failed open; the platform step tells apart what Qt
    // reports as PermissionError.
    static PortProblem fromOpenError(const QString& portName, const QString& systemLocation,
                                     QSerialPort::SerialPortError error, const QString& errorText);
    static Kind kindOf(QSerialPort::SerialPortError error, PermissionErrorCause cause);

    // The window's text; empty for None. The hint at the access rule is
    // given where the rule applies.
    QString text() const { return text(accessRuleApplies()); }
    QString text(bool accessRuleHint) const;

    bool operator==(const PortProblem& other) const
    {
        return kind == other.kind && portName == other.portName
            && systemLocation == other.systemLocation && error == other.error
            && errorText == other.errorText;
    }
    bool operator!=(const PortProblem& other) const { return !(*this == other); }
};
