// The services every window relies on: the program folder, message boxes, whole-file reads,
// wildcard deletes, and the three error states a handler can run in.
//
// app/ is the floor of the program: the toolkit, file services, the pool that runs work off the
// window thread, and the pieces every window is built from. It includes nothing outside app/;
// the windows above reach down into it, and it reaches the main window only through
// app/mainwindow.h.
#pragma once

#include <QString>
#include <QStringView>

#include <exception>
#include <functional>
#include <utility>

struct stat;

namespace kvr {

// The one error type of the platform services. Its description is worded for the user.
class Error : public std::exception
{
public:
    explicit Error(QString description, int code = 0)
        : m_description(std::move(description)), m_utf8(m_description.toUtf8()), m_code(code)
    {
    }
    const QString& description() const noexcept { return m_description; }
    // The errno the failure came from, for callers that act on its kind; 0 when none.
    int code() const noexcept { return m_code; }
    const char* what() const noexcept override { return m_utf8.constData(); }

    static Error fromErrno(int err);

private:
    QString m_description;
    QByteArray m_utf8;
    int m_code = 0;
};

// ---- Program folder -------------------------------------------------------------------------

// The folder of the executable. Tests point it elsewhere so they never touch the real one.
QString programFolder();
void setProgramFolder(const QString& folder);

// ---- Message boxes --------------------------------------------------------------------------

enum MsgBoxStyle : int {
    vbOKOnly = 0,
    vbOKCancel = 1,
    vbCritical = 16,
    vbQuestion = 32,
    vbExclamation = 48,
    // With vbOKCancel: Cancel is the default, for a question whose OK cannot be undone.
    vbDefaultButton2 = 256,
};
enum MsgBoxResult : int {
    vbOK = 1,
    vbCancel = 2,
};

// Shows a message box and returns the button pressed. Without a title the program's name is used.
int MsgBox(const QString& prompt, int style = vbOKOnly, const QString& title = QString());
QString defaultMsgBoxTitle();

// The window layer installs the real dialog; tests install a recorder that answers at once.
using MsgBoxHandler = std::function<int(const QString& prompt, int style, const QString& title)>;
MsgBoxHandler setMsgBoxHandler(MsgBoxHandler handler);

// ---- Error states ---------------------------------------------------------------------------

// "Skip failing statements": the statement is abandoned and the handler goes on with the next.
template <typename Statement> void skipFailing(Statement&& statement)
{
    try {
        std::forward<Statement>(statement)();
    } catch (const Error&) {
    }
}

// "Error block": report "<Routine>: <description>" (style 48, default title) and return normally.
void reportError(const char* routine, const Error& error);

template <typename Body> bool errorBlock(const char* routine, Body&& body)
{
    try {
        std::forward<Body>(body)();
        return true;
    } catch (const Error& e) {
        reportError(routine, e);
        return false;
    }
}

// ---- Paths and files ------------------------------------------------------------------------

// Paths are built with '\' as on the game's platform; the file system wants '/'.
QString toLocalPath(const QString& path);

// The local folder that a folder value from the settings names, or "" when the value is not usable.
// Usable means an absolute path of an existing folder shorter than the read limit (a longer value
// may have been cut). "C:\..." means "/..."; a value that names an existing folder as written is
// used as written, otherwise '\' is read as '/'. Only a usable value may reach a delete or an
// extraction.
QString usableFolder(const QString& value);

// The local path of a file the user supplies, found as the game's platform finds it: when the
// exact name is missing, the entry spelt the same but for case (the first in byte order).
QString findFile(const QString& path);
// The same for a local path used as written: a '\' in it stays part of a name.
QString findLocalFile(const QString& localPath);

// Windows-style wildcard match without regard to case: '*' any run, '?' one character,
// and a trailing ".*" also matches a name with no dot at all.
bool wildcardMatch(QStringView pattern, QStringView name);

// Reads a whole text file (UTF-8, or Windows-1252 when it is not valid UTF-8).
QString readTextFile(const QString& path);

// Deletes every file and every link to a file that matches the wildcard in the last part of the
// path; never a folder or a link to a folder. Throws when nothing matches (code ENOENT) or when
// any delete fails; the other matches are still deleted.
void deleteFiles(const QString& wildcardPath);

// The same in a local folder used as written (a usable folder), with the pattern on its own.
// In the program folder itself (same device and inode, however it is named) the program's own
// files are never deleted.
void deleteFiles(const QString& localFolder, const QString& pattern);

// A regular file without its owner's write bit: read-only, as the game's platform treats it, so
// the delete leaves it (and whatever must agree with the delete on what it takes).
bool isReadOnlyFile(const struct stat& st);

// The program's own files in its folder: the executable, the extraction library, the settings
// file and the help text, compared without regard to case.
bool isProgramFileName(const QString& name);

// Called once at start, before any package is read. Every member time of a package is a local
// time, converted through the C library; with no time zone named it looks at /etc/localtime again
// at every conversion, one file-system call per member. Naming that same file once keeps the zone
// and spares the calls.
void settleLocalTimeZone();

} // namespace kvr
