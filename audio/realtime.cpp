// Real-time priority for the mixer's thread. A desktop session grants it through RealtimeKit,
// a system service that raises a thread's priority on request within limits that keep a
// runaway thread from freezing the machine; without it only a process allowed RLIMIT_RTPRIO
// (or root) may raise its own.
#include "audio/realtime.h"

#include <dbus/dbus.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace thumpa {
namespace {

// Above every normal thread, below the sound servers' own (PulseAudio's run at 5, PipeWire's
// at 88), so that the server is never starved by a client.
constexpr int WANTED_PRIORITY = 4;
// RealtimeKit's own default for the longest a real-time thread may run without sleeping.
constexpr std::int64_t DEFAULT_RTTIME_USEC = 200'000;

constexpr const char* RTKIT_SERVICE = "org.freedesktop.RealtimeKit1";
constexpr const char* RTKIT_PATH = "/org/freedesktop/RealtimeKit1";

// One of RealtimeKit's integer properties; `fallback` when it cannot be read.
std::int64_t rtkit_property(DBusConnection* bus, const char* name, std::int64_t fallback) {
  DBusMessage* call = dbus_message_new_method_call(RTKIT_SERVICE, RTKIT_PATH,
                                                   "org.freedesktop.DBus.Properties", "Get");
  if (call == nullptr) return fallback;
  const char* interface = RTKIT_SERVICE;
  dbus_message_append_args(call, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &name,
                           DBUS_TYPE_INVALID);
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 1000, &error);
  dbus_message_unref(call);
  std::int64_t value = fallback;
  if (reply != nullptr) {
    DBusMessageIter iter;
    DBusMessageIter variant;
    if (dbus_message_iter_init(reply, &iter) &&
        dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_VARIANT) {
      dbus_message_iter_recurse(&iter, &variant);
      if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_INT32) {
        dbus_int32_t v = 0;
        dbus_message_iter_get_basic(&variant, &v);
        value = v;
      } else if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_INT64) {
        dbus_int64_t v = 0;
        dbus_message_iter_get_basic(&variant, &v);
        value = v;
      }
    }
    dbus_message_unref(reply);
  }
  dbus_error_free(&error);
  return value;
}

// The real-time CPU time limit RealtimeKit accepts: a hard limit no higher than its own, and a
// soft limit below that, so that a thread that runs too long gets SIGXCPU as a warning before
// the kernel kills the process at the hard limit. Lower limits are kept as they are.
rlimit capped_rttime(rlimit limit, std::int64_t rtkit_max_usec) {
  const auto max = static_cast<rlim_t>(std::max<std::int64_t>(rtkit_max_usec, 2));
  if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > max) limit.rlim_max = max;
  const rlim_t warning = limit.rlim_max - std::max<rlim_t>(limit.rlim_max / 4, 1);
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > warning) limit.rlim_cur = warning;
  return limit;
}

bool make_realtime_by_rtkit() {
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
  if (bus == nullptr) {
    dbus_error_free(&error);
    return false;
  }
  dbus_connection_set_exit_on_disconnect(bus, FALSE);

  bool granted = false;
  const std::int64_t max_priority = rtkit_property(bus, "MaxRealtimePriority", 0);
  if (max_priority > 0) {
    // RealtimeKit refuses a process that could keep a real-time thread spinning for longer
    // than it allows: cap the process's real-time CPU time to its limit first, and put the
    // old limit back if it says no, since without real-time threads the cap is of no use.
    const std::int64_t rttime = rtkit_property(bus, "RTTimeUSecMax", DEFAULT_RTTIME_USEC);
    rlimit before{};
    rlimit capped{};
    bool changed = false;
    if (getrlimit(RLIMIT_RTTIME, &before) == 0) {
      capped = capped_rttime(before, rttime);
      changed = setrlimit(RLIMIT_RTTIME, &capped) == 0;
    }
    DBusMessage* call = dbus_message_new_method_call(RTKIT_SERVICE, RTKIT_PATH, RTKIT_SERVICE,
                                                     "MakeThreadRealtime");
    if (call != nullptr) {
      const dbus_uint64_t thread = static_cast<dbus_uint64_t>(gettid());
      const dbus_uint32_t priority =
          static_cast<dbus_uint32_t>(std::min<std::int64_t>(max_priority, WANTED_PRIORITY));
      dbus_message_append_args(call, DBUS_TYPE_UINT64, &thread, DBUS_TYPE_UINT32, &priority,
                               DBUS_TYPE_INVALID);
      DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 1000, &error);
      dbus_message_unref(call);
      if (reply != nullptr) {
        granted = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
        dbus_message_unref(reply);
      }
    }
    // Raising a hard limit again needs a privilege a desktop user lacks: then the cap stays,
    // its soft limit below the hard one. Threads that are not real-time never count against
    // either.
    if (changed && !granted) setrlimit(RLIMIT_RTTIME, &before);
  }
  dbus_error_free(&error);
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  return granted;
}

bool make_realtime_by_scheduler() {
  rlimit limit{};
  int priority = WANTED_PRIORITY;
  // Root may go beyond its limit; anyone else only up to RLIMIT_RTPRIO, and the kernel says no
  // when that is 0.
  if (geteuid() != 0 && getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    priority = std::min(priority, static_cast<int>(limit.rlim_cur));
    if (priority <= 0) return false;
  }
  sched_param param{};
  param.sched_priority = priority;
  // Threads started from this one go back to normal scheduling.
  return sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

}  // namespace

void request_realtime_priority() {
  if (make_realtime_by_rtkit()) return;
  make_realtime_by_scheduler();
}

}  // namespace thumpa
