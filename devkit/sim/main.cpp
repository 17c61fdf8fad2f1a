#include "korvosim.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvo-sim"));
    return KorvoSim::run(QCoreApplication::arguments());
}
