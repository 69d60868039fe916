// trelvan-list: lists the hosts of one of the machine's networks with the
// window's scan, for scripts, monitoring and machines without a display.
#include "lister/lister.h"
#include "lister/terminal.h"
#include "results/programnames.h"
#include "results/qttranslation.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

// The scan's diagnostic lines are for the window's developers; warnings
// still go to standard error.
void QuietDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    lister::Write(stderr, QStringLiteral("trelvan-list: %1\n").arg(message));
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(QuietDebug);
    QCoreApplication application(argc, argv);
    LoadQtTranslation();
    // The window's settings store, for the comments; the lister only reads it.
    SetProgramNames();

    bool abandoned = false;
    const int status = lister::Run(QCoreApplication::arguments(), stdout, stderr, &abandoned);
    // Nothing is left to save. Ending here does not wait for a scan that a
    // signal abandoned, nor for a resolver that never answered (Qt's lookup
    // threads would otherwise hold the exit until the system gives up).
    lister::EndProcess(status);
}
