#include "results/commentstore.h"

#include "results/commentfile.h"

#include <QSettings>

#ifdef Q_OS_WIN

// The store is the registry there, whose values are strings already.

void LoadComments(CommentMap &comments)
{
    QSettings settings;
    settings.beginGroup(QString(CommentsGroup));
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        comments[key] = settings.value(key).toString();
}

CommentSave SaveComments(const CommentMap &comments)
{
    // Only what changed is written and only what went is removed: never a
    // clear, so that a save cut short by a crash leaves every other comment
    // as it was, and no other group of the application's is touched.
    QSettings settings;
    settings.beginGroup(QString(CommentsGroup));
    const QStringList stored = settings.allKeys();
    for (const QString &key : stored) {
        if (!comments.count(key))
            settings.remove(key);
    }
    for (const auto &[key, comment] : comments) {
        const QVariant value = settings.value(key);
        if (!value.isValid() || value.toString() != comment)
            settings.setValue(key, QVariant(comment));
    }
    settings.endGroup();
    settings.sync();

    CommentSave result;
    result.fileName = settings.fileName();
    if (settings.status() == QSettings::AccessError)
        result.fault = SaveFault::AccessDenied;
    else if (settings.status() != QSettings::NoError)
        result.fault = SaveFault::Other;
    return result;
}

#else

// The store's file is read and written as plain text rather than through
// QSettings' own decoding: see results/commentfile.h. A save replaces the
// whole file at once, and only once every byte of the new text is known to
// be on the disk: on any failure the previous file stays as it was. Every
// group of the file but "Comments" is written back as it was read.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>

#include <cerrno>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// How long a save waits for another instance's write of the file to end. A
// write takes milliseconds; a lock held longer belongs to a program that
// hangs, and the window must not hang with it.
constexpr int LockWaitMs = 300;

// The file the settings store of the application uses. Opening the store
// only splits the file into sections; no value is decoded.
QString StoreFileName()
{
    return QSettings().fileName();
}

SaveFault FaultOfError(int error)
{
    switch (error) {
    case ENOSPC:
        return SaveFault::DiskFull;
    case EDQUOT:
        return SaveFault::QuotaExceeded;
    case EROFS:
        return SaveFault::ReadOnly;
    case EACCES:
    case EPERM:
        return SaveFault::AccessDenied;
    default:
        return SaveFault::Other;
    }
}

// The fault of a step the toolkit took, whose system error is not at hand,
// as the file and its folder show it.
SaveFault FaultOfPlace(const QString &fileName)
{
    const QByteArray file = QFile::encodeName(fileName);
    const QByteArray folder = QFile::encodeName(QFileInfo(fileName).absolutePath());
    struct statvfs fs;
    if (statvfs(folder.constData(), &fs) == 0) {
        if (fs.f_flag & ST_RDONLY)
            return SaveFault::ReadOnly;
        if (fs.f_bavail == 0 || fs.f_favail == 0)
            return SaveFault::DiskFull;
    }
    if (access(folder.constData(), W_OK) != 0)
        return FaultOfError(errno);
    if (access(file.constData(), F_OK) == 0 && access(file.constData(), W_OK) != 0)
        return FaultOfError(errno);
    return SaveFault::Other;
}

// All of data into fd, again after a partial write or an interruption, then
// onto the disk: 0, or the system's error. A file system that keeps nothing
// to sync (EINVAL) has nothing more to report.
int WriteThrough(int fd, QByteArrayView data)
{
    const char *next = data.data();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        next += written;
        left -= written;
    }
    while (::fsync(fd) != 0) {
        if (errno == EINVAL)
            break;
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

} // namespace

void LoadComments(CommentMap &comments)
{
    QFile file(StoreFileName());
    if (!file.open(QIODevice::ReadOnly))
        return;
    const CommentMap stored = ParseCommentFile(file.readAll());
    for (const auto &[key, comment] : stored)
        comments[key] = comment;
}

CommentSave SaveComments(const CommentMap &comments)
{
    CommentSave result;
    result.fileName = StoreFileName();
    const auto failed = [&result](SaveFault fault, const QString &detail) {
        result.fault = fault;
        result.detail = detail;
        return result;
    };

    if (!QDir().mkpath(QFileInfo(result.fileName).absolutePath()))
        return failed(FaultOfPlace(result.fileName), QStringLiteral("mkpath"));
    // The lock the settings store takes to write the same file, so that two
    // instances of the program never write it at once.
    QLockFile lock(result.fileName + QLatin1String(".lock"));
    if (!lock.tryLock(LockWaitMs)) {
        if (lock.error() == QLockFile::LockFailedError)
            return failed(SaveFault::Locked, lock.fileName());
        return failed(FaultOfPlace(result.fileName), lock.fileName());
    }

    // Read under the lock, so that what another instance wrote is kept.
    QByteArray previous;
    QFile current(result.fileName);
    if (current.exists()) {
        if (!current.open(QIODevice::ReadOnly))
            return failed(FaultOfPlace(result.fileName), current.errorString());
        previous = current.readAll();
        current.close();
    }
    const QByteArray text = ReplaceCommentGroup(previous, FormatCommentFile(comments));

    // The new text goes into a file of its own beside the store's, written
    // straight to the system rather than through a buffer whose last write
    // errors would come to light only when the file is closed. Leaving
    // without commit() removes it.
    QSaveFile file(result.fileName);
    if (!file.open(QIODevice::WriteOnly))
        return failed(FaultOfPlace(result.fileName), file.errorString());
    // The user's own, whatever the umask or the mode of the file it
    // replaces (which QSaveFile would copy).
    if (::fchmod(file.handle(), S_IRUSR | S_IWUSR) != 0) {
        const int error = errno;
        file.cancelWriting();
        return failed(FaultOfError(error), qt_error_string(error));
    }
    if (const int error = WriteThrough(file.handle(), text)) {
        file.cancelWriting();
        return failed(FaultOfError(error), qt_error_string(error));
    }
    if (!file.commit())
        return failed(FaultOfPlace(result.fileName), file.errorString());
    return result;
}

#endif
