#include "portholder.h"

#include <QSerialPort>

PortHolder::PortHolder(QObject* parent) : QObject(parent), port(new QSerialPort(this)) {}

PortHolder::~PortHolder()
{
    release();
}

bool PortHolder::hold(const QString& systemLocation)
{
    release();
    port->setPortName(systemLocation);
    return port->open(QIODevice::ReadWrite);
}

void PortHolder::release()
{
    if (port->isOpen())
        port->close();
}

QString PortHolder::errorString() const
{
    return port->errorString();
}
