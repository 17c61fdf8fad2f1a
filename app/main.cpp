#include <QApplication>
#include <QLocale>
#include <QQmlApplicationEngine>
#include <QUrl>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Trennic"));
    QApplication::setOrganizationDomain(QStringLiteral("trennic.example"));
    QApplication::setApplicationName(QStringLiteral("Trennic Flasher"));
    QLocale::setDefault(QLocale::c());

    int exitCode = 0;
    {
        QQmlApplicationEngine engine;
        engine.load(QUrl(QStringLiteral("qrc:/qml/Main.qml")));
        exitCode = QApplication::exec();
    }
    return exitCode;
}
