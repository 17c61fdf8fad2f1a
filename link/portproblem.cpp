#include "portproblem.h"

PortProblem PortProblem::fromOpenError(const QString& portName, const QString& systemLocation,
                                       QSerialPort::SerialPortError error,
                                       const QString& errorText)
{
    // Asked only when it matters: the platform step reads lock files and
    // the device node's rights.
    const PermissionErrorCause cause = error == QSerialPort::PermissionError
        ? permissionErrorCause(systemLocation.toStdString())
        : PermissionErrorCause::Unknown;
    return {kindOf(error, cause), portName, systemLocation, error, errorText};
}

PortProblem::Kind PortProblem::kindOf(QSerialPort::SerialPortError error,
                                      PermissionErrorCause cause)
{
    if (error != QSerialPort::PermissionError)
        return Kind::OpenFailed;
    switch (cause) {
    case PermissionErrorCause::LockedByRunningProcess:
    case PermissionErrorCause::Busy:
        return Kind::InUse;
    case PermissionErrorCause::AccessDenied:
        return Kind::PermissionDenied;
    case PermissionErrorCause::Unknown:
        break;
    }
    return Kind::OpenFailed;
}

QString PortProblem::text(bool accessRuleHint) const
{
    switch (kind) {
    case Kind::None:
        break;
    case Kind::InUse:
        return tr("Порт %1 занят другой программой. Закройте её, и подключение продолжится.")
            .arg(portName);
    case Kind::PermissionDenied: {
        QString denied = tr("Нет доступа к порту %1.").arg(portName);
        if (accessRuleHint)
            denied += QLatin1Char(' ')
                + tr("Добавьте пользователя в группу dialout или установите правило udev (см. "
                     "README).");
        return denied;
    }
    case Kind::OpenFailed:
        return tr("Не удалось открыть порт %1: %2").arg(portName, errorText);
    }
    return QString();
}
