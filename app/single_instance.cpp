#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QRandomGenerator>
#include <QStringList>
#include <QThread>
#include <cerrno>
#include <optional>

#include "app/main_window.h"

namespace thumpa {

namespace {

constexpr int CONNECT_TIMEOUT_MS = 1000;
// How long a request may wait for its answer: the running program answers from its event loop.
constexpr int ANSWER_TIMEOUT_MS = 3000;
// How long a start waits for the lock's holder to answer or to end.
constexpr int CLAIM_TIMEOUT_MS = 10000;
constexpr int CLAIM_RETRY_MS = 20;

// One line per request: "raise", or "open ", the start's token, a space and the file's path,
// percent-encoded so that any byte of a file name travels on one line. The answer is "ok", and
// it is written before the request is carried out: opening a file may show a message box,
// which must not keep the start that asked waiting. A start that got no answer asks again
// with the same token, and a token already taken is answered without a second open, so one
// handed-over file is opened once however often its start had to ask.
const QByteArray RAISE_REQUEST = QByteArrayLiteral("raise");
const QByteArray OPEN_REQUEST = QByteArrayLiteral("open ");
const QByteArray ANSWER = QByteArrayLiteral("ok\n");
constexpr qint64 MAX_REQUEST = 64 * 1024;
// Tokens of the open requests taken lately; a start asks again within CLAIM_TIMEOUT_MS.
constexpr qsizetype MAX_TAKEN_TOKENS = 64;

QPointer<QLocalServer> server;
std::function<void(const QString&)> file_handler;
QStringList waiting_files;  // handed over before there was a handler
QByteArrayList taken_tokens;

struct Request {
  QByteArray token;  // empty for a raise
  QString path;      // the file to open; empty for a raise
};

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

enum class Lock { held, busy, unavailable };

// Takes the lock beside the socket without waiting. Once held, the descriptor stays open, and
// the lock with it, until the process ends; children do not inherit it.
Lock take_instance_lock(const QString& name) {
  const QByteArray path = QFile::encodeName(name + QStringLiteral(".lock"));
  const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Lock::unavailable;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Lock::held;
  const bool busy = errno == EWOULDBLOCK;
  ::close(fd);
  return busy ? Lock::busy : Lock::unavailable;
}

// A token no other start uses: the same on every try of this start.
QByteArray start_token() {
  static const QByteArray token = QByteArray::number(QRandomGenerator::system()->generate64(), 16) +
                                  '-' + QByteArray::number(QCoreApplication::applicationPid());
  return token;
}

QByteArray request_for(const QString& settings_file) {
  if (settings_file.isEmpty()) return RAISE_REQUEST + '\n';
  return OPEN_REQUEST + start_token() + ' ' + QFile::encodeName(settings_file).toPercentEncoding() +
         '\n';
}

// The request a line stands for; nothing for a line that is not one.
std::optional<Request> parse_request(const QByteArray& line) {
  if (line == RAISE_REQUEST) return Request{};
  if (!line.startsWith(OPEN_REQUEST)) return std::nullopt;
  const QByteArray rest = line.mid(OPEN_REQUEST.size());
  const qsizetype space = rest.indexOf(' ');
  if (space <= 0) return std::nullopt;
  Request request{rest.left(space),
                  QFile::decodeName(QByteArray::fromPercentEncoding(rest.mid(space + 1)))};
  if (!QDir::isAbsolutePath(request.path)) return std::nullopt;
  return request;
}

void deliver(const QString& path) {
  if (file_handler) {
    file_handler(path);
  } else {
    waiting_files.append(path);
  }
}

// Carries out a request that was answered: from the event loop, once the answer is on its way.
void carry_out(const Request& request) {
  bring_main_window_to_front();
  if (!request.path.isEmpty()) deliver(request.path);
}

// Whether the request is new: false for an open whose token was taken already.
bool take(const Request& request) {
  if (request.token.isEmpty()) return true;
  if (taken_tokens.contains(request.token)) return false;
  if (taken_tokens.size() == MAX_TAKEN_TOKENS) taken_tokens.removeFirst();
  taken_tokens.append(request.token);
  return true;
}

void serve(QLocalSocket* socket) {
  QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
  QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket] {
    if (!socket->canReadLine()) {
      if (socket->bytesAvailable() > MAX_REQUEST) socket->abort();
      return;
    }
    const std::optional<Request> request = parse_request(socket->readLine(MAX_REQUEST).chopped(1));
    // A program that is closing takes nothing: the start that asked runs in its place.
    const bool closing = main_window == nullptr || main_window->destroyed_for_good();
    if (request && !closing) {
      const bool new_request = take(*request);
      socket->write(ANSWER);
      socket->flush();
      if (new_request) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [r = *request] { carry_out(r); }, Qt::QueuedConnection);
      }
    }
    socket->disconnectFromServer();
  });
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

bool hand_over_to_running_instance(const QString& name, const QString& settings_file) {
  if (name.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(CONNECT_TIMEOUT_MS)) return false;
  if (!peer_is_this_user(socket)) {
    socket.abort();  // someone else's listener learns nothing and stops nothing
    return false;
  }
  socket.write(request_for(settings_file));
  QElapsedTimer waited;
  waited.start();
  // A program that is going away closes the connection without an answer.
  while (!socket.canReadLine() && socket.state() == QLocalSocket::ConnectedState &&
         waited.elapsed() < ANSWER_TIMEOUT_MS) {
    socket.waitForReadyRead(ANSWER_TIMEOUT_MS - static_cast<int>(waited.elapsed()));
  }
  const bool taken = socket.canReadLine() && socket.readLine() == ANSWER;
  socket.abort();
  return taken;
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

InstanceClaim claim_single_instance(const QString& name, const QString& settings_file) {
  if (name.isEmpty()) return InstanceClaim::first;  // no private folder: no guard
  // The holder may be starting (not listening yet, or busy before its event loop runs) or
  // ending (listening no more): ask again until it answers or lets the lock go. A request it
  // took after this start stopped waiting for its answer is not carried out twice: each try
  // carries the same token.
  QElapsedTimer waited;
  waited.start();
  for (Lock lock; (lock = take_instance_lock(name)) != Lock::held;) {
    if (hand_over_to_running_instance(name, settings_file)) return InstanceClaim::handed_over;
    // No lock to be had (a full disk, say), or a holder that never answers: run unguarded.
    if (lock == Lock::unavailable || waited.elapsed() > CLAIM_TIMEOUT_MS)
      return InstanceClaim::first;
    QThread::msleep(CLAIM_RETRY_MS);
  }
  // Whatever socket has the name now was left by a run that has ended.
  QLocalServer::removeServer(name);
  auto* listener = new QLocalServer(QCoreApplication::instance());
  listener->setSocketOptions(QLocalServer::UserAccessOption);
  if (!listener->listen(name)) {
    delete listener;
    return InstanceClaim::first;
  }
  server = listener;
  QObject::connect(listener, &QLocalServer::newConnection, listener, [listener] {
    while (QLocalSocket* socket = listener->nextPendingConnection()) serve(socket);
  });
  return InstanceClaim::first;
}

void set_handed_over_file_handler(std::function<void(const QString& path)> handler) {
  file_handler = std::move(handler);
  if (!file_handler) return;
  const QStringList files = std::exchange(waiting_files, {});
  for (const QString& path : files) file_handler(path);
}

void stop_single_instance_server() {
  if (server) server->close();  // removes the socket; the lock stays until the process ends
}

}  // namespace thumpa
