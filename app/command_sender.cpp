#include "app/command_sender.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace thumpa {

namespace {

struct PendingCommand {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;  // run, or given up on
};

struct Sender {
  std::mutex mutex;           // guards everything below
  QObject* target = nullptr;  // cleared before the object goes
  std::function<void(int, std::int64_t)> dispatch;
  std::vector<std::shared_ptr<PendingCommand>> waiting;
};

Sender sender;

void finish(PendingCommand& pending) {
  {
    std::lock_guard lock(pending.mutex);
    pending.done = true;
  }
  pending.done_changed.notify_all();
}

// Caller holds sender.mutex.
void release_waiting_senders() {
  for (const auto& pending : sender.waiting) finish(*pending);
  sender.waiting.clear();
}

void dispatch_on_main_thread(int id, std::int64_t due_ns) {
  std::function<void(int, std::int64_t)> dispatch;
  {
    std::lock_guard lock(sender.mutex);
    dispatch = sender.dispatch;
  }
  if (dispatch) dispatch(id, due_ns);
}

}  // namespace

void set_command_target(QObject* target,
                        std::function<void(int id, std::int64_t due_ns)> dispatch) {
  std::lock_guard lock(sender.mutex);
  sender.target = target;
  sender.dispatch = target != nullptr ? std::move(dispatch) : nullptr;
  if (target == nullptr) release_waiting_senders();
}

void clear_command_target(QObject* target) {
  std::lock_guard lock(sender.mutex);
  if (sender.target != target) return;  // another object took over: it stays the target
  sender.target = nullptr;
  sender.dispatch = nullptr;
  release_waiting_senders();
}

void send_command(int id) {
  send_timed_command(id, 0, {});
}

void send_timed_command(int id, std::int64_t due_ns, std::stop_token give_up) {
  auto pending = std::make_shared<PendingCommand>();
  {
    std::lock_guard lock(sender.mutex);
    QObject* target = sender.target;
    if (target == nullptr) return;
    if (QThread::currentThread() == target->thread()) {
      // Called directly, outside the lock, so the command may itself send commands.
      pending.reset();
    } else {
      sender.waiting.push_back(pending);
      QMetaObject::invokeMethod(
          target,
          [pending, id, due_ns] {
            {
              std::lock_guard lock(pending->mutex);
              if (pending->done) return;  // the sender gave up; the command is dropped
            }
            dispatch_on_main_thread(id, due_ns);
            finish(*pending);
          },
          Qt::QueuedConnection);
    }
  }
  if (!pending) {
    dispatch_on_main_thread(id, due_ns);
    return;
  }
  {
    // Runs at once when the stop was requested already, otherwise on the thread requesting it.
    const std::stop_callback on_give_up(give_up, [&pending] { finish(*pending); });
    std::unique_lock lock(pending->mutex);
    pending->done_changed.wait(lock, [&] { return pending->done; });
  }
  std::lock_guard lock(sender.mutex);
  std::erase(sender.waiting, pending);
}

}  // namespace thumpa
