#include "QuietPlatform.h"

#include <QtCore/QtGlobal>
#include <QtCore/QString>

namespace {

QtMessageHandler previous = nullptr;

void filter(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg
        && message == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    if (previous)
        previous(type, context, message);
}

} // namespace

void QuietPlatform::install()
{
    QtMessageHandler current = qInstallMessageHandler(filter);
    if (current != filter)
        previous = current;
}
