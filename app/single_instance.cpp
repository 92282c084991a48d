#include "app/single_instance.h"

#include <unistd.h>

#include <QApplication>
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

}  // namespace

QString instance_server_name() {
  QString display = display_name();
  for (QChar& c : display) {
    if (!c.isLetterOrNumber()) c = u'_';
  }
  return QStringLiteral("thumpa-%1-%2").arg(getuid()).arg(display);
}

bool hand_over_to_running_instance(const QString& name) {
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(CONNECT_TIMEOUT_MS)) return false;
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
