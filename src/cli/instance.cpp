#include "cli/instance.h"

#include "app/fileio.h"
#include "app/toolkit.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kvr {

namespace {

// A request or an answer is one line of JSON; anything longer is not one of ours.
constexpr qint64 kMessageMax = qint64{4} << 20;
constexpr int kConnectMilliseconds = 1000;

// Why the program will not use what lies at the path (a folder when `folder`); "" when it may.
QString placeProblem(const QString& path, bool folder, uid_t owner)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT
                   ? QString()
                   : QStringLiteral("%1 cannot be used: %2").arg(path, Error::fromErrno(errno).description());
    if (folder ? !S_ISDIR(st.st_mode) : !S_ISSOCK(st.st_mode))
        return QStringLiteral("%1 is not the program's %2: remove it and start the program again.")
            .arg(path, folder ? QStringLiteral("folder") : QStringLiteral("socket"));
    if (st.st_uid != owner)
        return QStringLiteral("%1 belongs to another user: the program will not use it.").arg(path);
    if (folder && (st.st_mode & 077) != 0)
        return QStringLiteral("%1 may be entered by other users: the program will not use it.").arg(path);
    return {};
}

QByteArray line(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// Reads one line from the socket; empty when it closed or sent too much first.
QByteArray readLine(QLocalSocket& socket, int waitMilliseconds)
{
    QByteArray data;
    while (!data.endsWith('\n')) {
        if (!socket.bytesAvailable() && !socket.waitForReadyRead(waitMilliseconds))
            return {};
        data += socket.readAll();
        if (data.size() > kMessageMax)
            return {};
    }
    return data;
}

} // namespace

InstancePlace instancePlace(const QString& programFolder, uid_t owner)
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const QString folder = runtime + QStringLiteral("/kvrsi");
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
        return {{}, QStringLiteral("%1 cannot be made: %2").arg(folder, Error::fromErrno(errno).description())};
    if (QString problem = placeProblem(folder, true, owner); !problem.isEmpty())
        return {{}, problem};
    const QByteArray name =
        QCryptographicHash::hash(QFile::encodeName(QDir::cleanPath(programFolder)), QCryptographicHash::Sha256)
            .toHex()
            .left(16);
    const QString socket = folder + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".socket");
    return {socket, placeProblem(socket, false, owner)};
}

InstancePlace instancePlace(const QString& programFolder)
{
    return instancePlace(programFolder, ::getuid());
}

std::optional<InstanceReply> handToOpenProgram(const QString& socketPath, const InstanceRequest& request)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(kConnectMilliseconds))
        return std::nullopt;
    socket.write(line({{QStringLiteral("arguments"), QJsonArray::fromStringList(request.arguments)},
                       {QStringLiteral("folder"), request.folder}}));
    // The command may wait for the game folder, or a big package: as long as the program is open.
    const QJsonObject answer = QJsonDocument::fromJson(readLine(socket, -1)).object();
    // The request may have been carried out in part: it is never carried out a second time here.
    if (!answer.contains(QStringLiteral("status")))
        return InstanceReply{1, {}, QStringLiteral("The open program ended before it answered.").toUtf8()};
    return InstanceReply{answer.value(QStringLiteral("status")).toInt(),
                         answer.value(QStringLiteral("out")).toString().toUtf8(),
                         answer.value(QStringLiteral("err")).toString().toUtf8()};
}

InstanceServer::InstanceServer(Handler handler, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)), m_server(new QLocalServer(this))
{
    // The socket is the user's alone, inside a folder that is the user's alone.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &InstanceServer::take);
}

InstanceServer::~InstanceServer() = default;

bool InstanceServer::listen(const QString& socketPath, QString* problem)
{
    if (m_server->listen(socketPath))
        return true;
    // A program killed leaves its socket behind: one nobody answers on may go.
    if (m_server->serverError() == QAbstractSocket::AddressInUseError) {
        QLocalSocket probe;
        probe.connectToServer(socketPath);
        if (!probe.waitForConnected(kConnectMilliseconds) && QLocalServer::removeServer(socketPath) &&
            m_server->listen(socketPath))
            return true;
    }
    *problem = QStringLiteral("%1 cannot be listened on: %2").arg(socketPath, m_server->errorString());
    return false;
}

void InstanceServer::take()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
            *buffer += socket->readAll();
            if (buffer->size() > kMessageMax) {
                socket->abort();
                return;
            }
            if (!buffer->endsWith('\n'))
                return;
            const QJsonObject asked = QJsonDocument::fromJson(*buffer).object();
            buffer->clear();
            QStringList arguments;
            const QJsonArray given = asked.value(QStringLiteral("arguments")).toArray();
            for (const auto& v : given)
                arguments.append(v.toString());
            QPointer<QLocalSocket> to(socket);
            const Answer answer = [to](const InstanceReply& reply) {
                if (!to)
                    return;
                to->write(line({{QStringLiteral("status"), reply.status},
                                {QStringLiteral("out"), QString::fromUtf8(reply.out)},
                                {QStringLiteral("err"), QString::fromUtf8(reply.err)}}));
                to->flush();
            };
            // Not from within the socket's signal: the handler may open dialogs, whose event
            // loops would delete the socket under it once the caller hangs up.
            const InstanceRequest request{arguments, asked.value(QStringLiteral("folder")).toString()};
            QMetaObject::invokeMethod(
                this, [this, answer, request] { m_handler(request, answer); }, Qt::QueuedConnection);
        });
    }
}

} // namespace kvr
