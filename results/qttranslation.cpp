#include "results/qttranslation.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLoggingCategory>
#include <QTranslator>

namespace {

Q_LOGGING_CATEGORY(lcTranslation, "trelvan.translation", QtInfoMsg)

} // namespace

QTranslator *LoadQtTranslation()
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return nullptr;
    const QString folders[]{
        QLibraryInfo::path(QLibraryInfo::TranslationsPath),
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("translations"))};
    auto *translator = new QTranslator(application);
    for (const QString &folder : folders) {
        if (translator->load(QStringLiteral("qtbase_fr"), folder) &&
            QCoreApplication::installTranslator(translator)) {
            qCDebug(lcTranslation).noquote() << "Qt's translation:" << translator->filePath();
            return translator;
        }
    }
    qCDebug(lcTranslation) << "no qtbase_fr.qm found";
    delete translator;
    return nullptr;
}
