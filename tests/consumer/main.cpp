#include "ui_MainForm.h"

#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtWidgets/QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QStringList failed;

    // From a form: uic wrote the includes that the plug-ins name.
    QWidget window;
    Ui::MainForm form;
    form.setupUi(&window);
    form.osmView->setZoom(14);
    if (form.osmView->zoomMax() != 16 || form.osmView->zoom() != 14)
        failed << QStringLiteral("form");

    // A new tile database, made from the library's template.
    QTemporaryDir tmp;
    form.osmView->setImagePath(tmp.filePath(QStringLiteral("new.sqlitedb")));
    QFile created(form.osmView->imagePath());
    if (!created.open(QIODevice::ReadOnly)
        || created.read(16) != QByteArray("SQLite format 3\0", 16))
        failed << QStringLiteral("template");

    // This host's resources.qrc and the library's resources live side by side.
    for (const char *path : {":/db/host.txt", ":/db/dbtemplate.sqlitedb", ":/images/left-16.png",
                             ":/images/right-16.png"})
        if (!QFile::exists(QLatin1String(path)))
            failed << QLatin1String(path);

    const QString result = failed.isEmpty() ? QStringLiteral("passed")
                                            : "failed: " + failed.join(QLatin1String(", "));
    std::printf("%s\n", qPrintable(result));
    return failed.isEmpty() ? 0 : 1;
}
