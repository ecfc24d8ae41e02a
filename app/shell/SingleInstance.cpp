#include "app/shell/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QTimer>

#include <unistd.h>

namespace kelvora {
namespace {

const QByteArray kOpenRequest = QByteArrayLiteral("open main\n");
constexpr int kAnswerMilliseconds = 1000;
constexpr int kIdleMilliseconds = 2000;

}  // namespace

SingleInstance::SingleInstance(QString socketName, QObject* parent)
    : QObject(parent), socketName_(std::move(socketName)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    server_.setMaxPendingConnections(4);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

QString SingleInstance::defaultSocketName() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QDir(runtime).exists()) {
        return QDir(runtime).filePath(QStringLiteral("app.kelvora.sender"));
    }
    return QDir(QDir::tempPath()).filePath(QStringLiteral("app.kelvora.sender.%1").arg(::getuid()));
}

bool SingleInstance::claim() {
    // Two attempts: a launch that lost the race for the socket name finds the winner on the second look.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (askRunningInstance()) {
            return false;
        }
        // Nobody answered, so a socket file left behind by a crashed instance is stale.
        QLocalServer::removeServer(socketName_);
        if (server_.listen(socketName_)) {
            return true;
        }
    }
    return false;
}

bool SingleInstance::askRunningInstance() const {
    QLocalSocket socket;
    socket.connectToServer(socketName_);
    if (!socket.waitForConnected(kAnswerMilliseconds)) {
        return false;
    }
    socket.write(kOpenRequest);
    if (!socket.waitForBytesWritten(kAnswerMilliseconds)) {
        return false;
    }
    // The instance closes the connection once it has read the request.
    socket.waitForDisconnected(kAnswerMilliseconds);
    return true;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        // The request is all a connection may carry; more is never buffered.
        socket->setReadBufferSize(kOpenRequest.size());
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->bytesAvailable() < kOpenRequest.size()) {
                return;
            }
            const bool known = socket->read(kOpenRequest.size()) == kOpenRequest;
            socket->disconnectFromServer();
            if (known) {
                emit activationRequested();
            }
        });
        QTimer::singleShot(kIdleMilliseconds, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
    }
}

}  // namespace kelvora
