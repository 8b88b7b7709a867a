// One program open at a time per program folder: the open one listens on a local socket of the
// user's own, and a later start hands its arguments over it and prints the answer. The socket
// lies in $XDG_RUNTIME_DIR/kvrsi/, a folder only its user may enter, under a name taken from
// the program folder, so each program folder (each user's settings) has its own.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <functional>
#include <optional>

class QLocalServer;

namespace kvr {

struct InstancePlace
{
    QString socketPath;
    QString problem; // why the program will not use the place; "" when it may
};

// Where the open program of this program folder listens. Makes the folder when it is missing;
// refuses a folder or a socket file that belongs to another user than `owner`, a folder others
// may enter, and a file in the socket's place that is not a socket.
InstancePlace instancePlace(const QString& programFolder, uid_t owner);
InstancePlace instancePlace(const QString& programFolder);

// What a later start asks: its arguments and its working folder, which relative paths mean.
struct InstanceRequest
{
    QStringList arguments;
    QString folder;
};

// What the open program answers: the command's exit status and what it prints.
struct InstanceReply
{
    int status = 0;
    QByteArray out;
    QByteArray err;
};

// Hands the request to the program listening at the path and waits for its answer; nothing when
// none listens there. One that goes away before answering is a refusal.
std::optional<InstanceReply> handToOpenProgram(const QString& socketPath, const InstanceRequest& request);

// The open program's end: listens at the path and hands each request to the handler, on the
// thread the server lives on; the handler answers once, now or later.
class InstanceServer : public QObject
{
    Q_OBJECT
public:
    using Answer = std::function<void(const InstanceReply&)>;
    using Handler = std::function<void(const InstanceRequest&, const Answer&)>;

    explicit InstanceServer(Handler handler, QObject* parent = nullptr);
    ~InstanceServer() override;

    // Takes the path, replacing a socket there that nobody listens on any more; false, with the
    // reason, when it cannot.
    bool listen(const QString& socketPath, QString* problem);

private:
    void take();
    Handler m_handler;
    QLocalServer* m_server = nullptr;
};

} // namespace kvr
