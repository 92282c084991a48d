// Real-time priority from a stand-in RealtimeKit on a private bus: RLIMIT_RTTIME is capped only
// when granted, with the soft limit below the hard one so that SIGXCPU warns before the kill.
#include "audio/realtime.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace thumpa {
namespace {

constexpr const char* RTKIT = "org.freedesktop.RealtimeKit1";
constexpr dbus_int64_t RTKIT_MAX_USEC = 200000;

// Answers RealtimeKit's two properties and its MakeThreadRealtime, granted or refused; runs in
// a child process until killed.
[[noreturn]] void serve_rtkit(const char* address, bool grant) {
  DBusConnection* bus = dbus_connection_open_private(address, nullptr);
  if (bus == nullptr || !dbus_bus_register(bus, nullptr) ||
      dbus_bus_request_name(bus, RTKIT, 0, nullptr) != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
    _exit(1);
  }
  while (dbus_connection_read_write(bus, -1)) {
    while (DBusMessage* call = dbus_connection_pop_message(bus)) {
      DBusMessage* reply = nullptr;
      const char* interface = nullptr;
      const char* name = nullptr;
      if (dbus_message_is_method_call(call, DBUS_INTERFACE_PROPERTIES, "Get") &&
          dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING,
                                &name, DBUS_TYPE_INVALID)) {
        reply = dbus_message_new_method_return(call);
        DBusMessageIter args, variant;
        dbus_message_iter_init_append(reply, &args);
        // Both as 64-bit integers: 20 for MaxRealtimePriority, the limit for RTTimeUSecMax.
        const dbus_int64_t value =
            std::strcmp(name, "MaxRealtimePriority") == 0 ? 20 : RTKIT_MAX_USEC;
        dbus_message_iter_open_container(&args, DBUS_TYPE_VARIANT, "x", &variant);
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_INT64, &value);
        dbus_message_iter_close_container(&args, &variant);
      } else if (dbus_message_is_method_call(call, RTKIT, "MakeThreadRealtime")) {
        reply = grant ? dbus_message_new_method_return(call)
                      : dbus_message_new_error(call, DBUS_ERROR_ACCESS_DENIED, "refused");
      }
      if (reply != nullptr) dbus_connection_send(bus, reply, nullptr);
      if (reply != nullptr) dbus_message_unref(reply);
      dbus_message_unref(call);
    }
  }
  _exit(0);
}

TEST(RealtimePriority, RttimeIsCappedOnlyWhenGrantedWithAWarningBeforeTheKill) {
  FILE* daemon = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
  ASSERT_NE(daemon, nullptr);
  char address[512] = {};
  int daemon_pid = 0;
  const bool started = std::fscanf(daemon, "%511s %d", address, &daemon_pid) == 2;
  pclose(daemon);
  if (!started) GTEST_SKIP() << "dbus-daemon did not start";
  const std::unique_ptr<int, void (*)(int*)> stop_daemon(&daemon_pid,
                                                         [](int* pid) { kill(*pid, SIGTERM); });
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address, 1);
  DBusConnection* probe = dbus_connection_open_private(address, nullptr);
  ASSERT_TRUE(probe != nullptr && dbus_bus_register(probe, nullptr));
  const auto wait_for_owner = [probe](bool owned) {
    for (int i = 0; i < 250 && dbus_bus_name_has_owner(probe, RTKIT, nullptr) != owned; ++i) {
      usleep(20000);
    }
  };
  for (bool grant : {false, true}) {
    const pid_t service = fork();
    if (service == 0) serve_rtkit(address, grant);
    wait_for_owner(true);
    // In a child of its own, so that neither the limit nor a granted scheduler stays here.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t client = fork();
    struct Limits {
      rlimit before, after;
      bool restorable;  // whether this process may raise the hard limit back
    } limits{};
    if (client == 0) {
      limits.before = {RLIM_INFINITY, RLIM_INFINITY};
      setrlimit(RLIMIT_RTTIME, &limits.before);
      getrlimit(RLIMIT_RTTIME, &limits.before);
      request_realtime_priority();
      getrlimit(RLIMIT_RTTIME, &limits.after);
      limits.restorable = setrlimit(RLIMIT_RTTIME, &limits.before) == 0;
      _exit(write(fds[1], &limits, sizeof limits) == sizeof limits ? 0 : 1);
    }
    EXPECT_EQ(read(fds[0], &limits, sizeof limits), static_cast<ssize_t>(sizeof limits));
    waitpid(client, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    wait_for_owner(false);
    const rlimit& after = limits.after;
    if (grant) {
      EXPECT_EQ(after.rlim_max, static_cast<rlim_t>(RTKIT_MAX_USEC));
    }
    if (grant || !limits.restorable) {
      EXPECT_LT(after.rlim_cur, after.rlim_max) << (grant ? "granted" : "refused");
    } else {
      EXPECT_EQ(std::pair(after.rlim_cur, after.rlim_max),
                std::pair(limits.before.rlim_cur, limits.before.rlim_max));
    }
  }
  dbus_connection_close(probe);
  dbus_connection_unref(probe);
}

}  // namespace
}  // namespace thumpa
