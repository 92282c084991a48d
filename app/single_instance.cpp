#include "app/single_instance.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include "app/main_window.h"

namespace thumpa {

namespace {

constexpr int CONNECT_TIMEOUT_MS = 1000;
const QByteArray RAISE_REQUEST = QByteArrayLiteral("raise\n");

QString display_name() {
  for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty()) return value;
  }
  return QStringLiteral("none");
}

// A folder that is ours alone: no other user can put a socket in it or take one away. A link
// does not count, whatever it points to.
bool private_folder(const QString& path) {
  struct stat st;
  if (path.isEmpty() || !QDir::isAbsolutePath(path)) return false;
  if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

// Whether the listener at the other end of the connection runs as this user.
bool peer_is_this_user(const QLocalSocket& socket) {
  ucred peer{};
  socklen_t size = sizeof peer;
  const int fd = static_cast<int>(socket.socketDescriptor());
  return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
         size == sizeof peer && peer.uid == ::getuid();
}

}  // namespace

QString instance_folder() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (private_folder(runtime)) return runtime;
  const QString own = QDir::tempPath() + QStringLiteral("/thumpa-%1").arg(::getuid());
  ::mkdir(QFile::encodeName(own).constData(), 0700);  // or it exists: checked next
  return private_folder(own) ? own : QString();
}

QString instance_server_name() {
  const QString folder = instance_folder();
  if (folder.isEmpty()) return {};
  QString display = display_name();
  for (QChar& c : display) {
    if (!c.isLetterOrNumber()) c = u'_';
  }
  return folder + QStringLiteral("/thumpa-") + display;
}

bool hand_over_to_running_instance(const QString& name) {
  if (name.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(CONNECT_TIMEOUT_MS)) return false;
  if (!peer_is_this_user(socket)) {
    socket.abort();  // someone else's listener learns nothing and stops nothing
    return false;
  }
  socket.write(RAISE_REQUEST);
  socket.waitForBytesWritten(CONNECT_TIMEOUT_MS);
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState)
    socket.waitForDisconnected(CONNECT_TIMEOUT_MS);
  return true;
}

void bring_main_window_to_front() {
  if (main_window == nullptr) return;
  main_window->setWindowState(main_window->windowState() & ~Qt::WindowMinimized);
  main_window->show();
  main_window->raise();
  main_window->activateWindow();
  // An open dialog or message box stays above its owner and keeps the keyboard.
  if (QWidget* modal = QApplication::activeModalWidget()) {
    modal->raise();
    modal->activateWindow();
  }
}

InstanceClaim claim_single_instance(const QString& name) {
  if (name.isEmpty()) return InstanceClaim::first;  // no private folder: no guard
  if (hand_over_to_running_instance(name)) return InstanceClaim::handed_over;
  auto* server = new QLocalServer(QCoreApplication::instance());
  server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server->listen(name)) {
    // Another start may have begun listening just now; otherwise the socket is stale.
    if (hand_over_to_running_instance(name)) {
      delete server;
      return InstanceClaim::handed_over;
    }
    QLocalServer::removeServer(name);
    if (!server->listen(name)) {
      delete server;
      return InstanceClaim::first;
    }
  }
  QObject::connect(server, &QLocalServer::newConnection, server, [server] {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
      QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      bring_main_window_to_front();
    }
  });
  return InstanceClaim::first;
}

}  // namespace thumpa
