#include "bridge.hpp"

#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "kesto.h"
#include "s7com.h"
#include "s7serial.h"
#include "tagvalue.hpp"
#include "topics.hpp"

namespace s7mqtt {
namespace {

constexpr DWORD kCom = 0;
// The longest message taken from the broker (a set of an array of some
// thousand elements as text); anything longer is dropped unread.
constexpr int kMaxPayload = 1 << 20;

// The open's reason comes from the serial layer where it keeps one; linked
// weakly, so that without it the reason is the open's errno.
#pragma weak ComOpenError

void Log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "s7mqtt: %s\n", line);
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The tags of one `every`, read by one call.
struct Group {
  double every = 1;
  double due = 0;
  std::vector<size_t> index;  // into the configuration's tags
  std::vector<S7TAG> tags;
  std::vector<std::vector<unsigned char>> bufs;
};

struct Incoming {
  std::string topic, payload;
  bool retained = false;
};

class Bridge {
 public:
  Bridge(const Config &cfg, const RunOptions &opt) : cfg_(cfg), opt_(opt), map_(cfg), state_(cfg.tags.size()) {
    for (size_t i = 0; i < cfg.tags.size(); ++i) {
      raw_.emplace_back(S7TagValueSize(&cfg.tags[i].addr));
      Group *g = nullptr;
      for (Group &x : groups_)
        if (x.every == cfg.tags[i].every) g = &x;
      if (!g) g = &groups_.emplace_back(Group{cfg.tags[i].every, 0, {}, {}, {}});
      g->index.push_back(i);
      g->bufs.emplace_back(S7TagValueSize(&cfg.tags[i].addr));
    }
    for (Group &g : groups_)
      for (size_t k = 0; k < g.index.size(); ++k)
        g.tags.push_back(S7TAG{cfg.tags[g.index[k]].addr, g.bufs[k].data(), 0, 0});
  }

  ~Bridge() {
    if (m_) mosquitto_destroy(m_);
    if (wake_fd_ >= 0) close(wake_fd_);
    if (sig_fd_ >= 0) close(sig_fd_);
  }

  int run() {
    if (!open_line() || !open_broker()) return 1;
    loop();
    shut_down();
    return 0;
  }

 private:
  // ---- the serial line ----
  bool open_line() {
    const LineConfig &l = cfg_.line;
    if (l.timeout) S7SetTimeout(l.timeout);
    KS7SetDevName(kCom, l.device.c_str());
    const int baud = l.baud ? l.baud : l.ppi ? 9600 : 19200;
    errno = 0;
    ref_ = KS7Open(kCom, l.plc, l.own, baud, l.ppi ? 200 : 0);
    if (ref_ < 0) {
      char why[160] = "";
      if (errno) std::snprintf(why, sizeof why, "%s", std::strerror(errno));
      char reason[160] = "";
      if (&ComOpenError != nullptr && ComOpenError(kCom, reason, sizeof reason) != 0 && reason[0])
        std::snprintf(why, sizeof why, "%s", reason);
      Log("cannot open the serial line %s: %s (%s)", l.device.c_str(), why[0] ? why : "no reason given",
          KS7ErrText(ref_));
      return false;
    }
    return true;
  }

  void poll_group(Group &g) {
    const LONG r = KS7ReadTags(ref_, g.tags.data(), static_cast<LONG>(g.tags.size()));
    const double t = Now();
    if (r != 0 && r != 1 && r != 2) {
      line_state(false, KS7ErrText(r));
      return;
    }
    line_state(true, "");
    for (size_t k = 0; k < g.tags.size(); ++k) take(g.index[k], g.tags[k], t);
  }

  // One tag's outcome of a read.
  void take(size_t i, const S7TAG &tag, double t) {
    TagState &s = state_[i];
    if (tag.Result != 0) {
      if (tag.Result != s.refused)
        Log("tag %s (%s): %s", cfg_.tags[i].name.c_str(), cfg_.tags[i].text.c_str(), KS7ErrText(tag.Result));
      if (tag.Result != s.refused && s.have && s.good && cfg_.payload == Payload::Json) publish_tag(i, false);
      s.refused = tag.Result;
      return;
    }
    // The same bytes as last time: nothing to decide unless a republish is due.
    const auto *bytes = static_cast<const unsigned char *>(tag.Value);
    std::vector<unsigned char> &last = raw_[i];
    const bool same = s.have && !s.refused && std::equal(last.begin(), last.end(), bytes);
    if (same && s.good && t - s.at < cfg_.republish) return;
    if (!same) last.assign(bytes, bytes + last.size());
    if (s.refused) Log("tag %s is read again", cfg_.tags[i].name.c_str());
    s.refused = 0;
    s.value = ValueOf(tag.Addr, tag.Value);
    s.have = true;
    if (ShouldPublish(s, s.value.json, cfg_.tags[i].deadband, t, cfg_.republish)) publish_tag(i, true);
  }

  void line_state(bool up, const char *why) {
    if (up == line_up_ && started_) return;
    started_ = true;
    line_up_ = up;
    if (up)
      Log("the PLC answers on %s", cfg_.line.device.c_str());
    else
      Log("the PLC on %s does not answer: %s", cfg_.line.device.c_str(), why);
    publish(map_.status(), up ? "online" : "offline", true);
    if (!up && cfg_.payload == Payload::Json)
      for (size_t i = 0; i < state_.size(); ++i)
        if (state_[i].have && state_[i].good) publish_tag(i, false);
  }

  // ---- writes from the broker ----
  void handle_set(const Incoming &in) {
    const TopicMap::SetTarget target = map_.set_target(in.topic, in.retained);
    if (!target.refusal.empty()) {
      Log("refused a set on %s: %s", in.topic.c_str(), target.refusal.c_str());
      if (target.tag) publish(map_.result(*target.tag), "refused: " + target.refusal, false);
      return;
    }
    if (!target.tag) return;
    const size_t i = *target.tag;
    const TagConfig &tc = cfg_.tags[i];
    std::vector<unsigned char> buf(S7TagValueSize(&tc.addr));
    std::string err;
    if (s7tag::ParseTagValues(tc.addr, TopicMap::set_text(in.payload), buf.data(), err) != 0) {
      Log("refused a set on %s: %s", in.topic.c_str(), err.c_str());
      publish(map_.result(i), "bad value: " + err, false);
      return;
    }
    S7TAG tag{tc.addr, buf.data(), 0, 0};
    const LONG r = KS7WriteTags(ref_, &tag, 1);
    const std::string result = r == 0 ? "ok" : KS7ErrText(tag.Result ? tag.Result : r);
    if (r != 0) Log("write of %s failed: %s", tc.name.c_str(), result.c_str());
    else if (opt_.trace) Log("wrote %s = %s", tc.name.c_str(), TopicMap::set_text(in.payload).c_str());
    publish(map_.result(i), result, false);
    if (r != 0 && r != 1 && r != 2) {
      line_state(false, result.c_str());
      return;
    }
    // the value as the PLC now holds it
    tag.Result = 0;
    const LONG rr = KS7ReadTags(ref_, &tag, 1);
    if (rr == 0 || rr == 1 || rr == 2) {
      line_state(true, "");
      if (tag.Result == 0) {
        state_[i].value = ValueOf(tag.Addr, tag.Value);
        const auto *bytes = static_cast<const unsigned char *>(tag.Value);
        raw_[i].assign(bytes, bytes + raw_[i].size());
        state_[i].have = true;
        state_[i].refused = 0;
        publish_tag(i, true);
      }
    } else {
      line_state(false, KS7ErrText(rr));
    }
  }

  // ---- the broker ----
  bool open_broker() {
    const BrokerConfig &b = cfg_.broker;
    m_ = mosquitto_new(b.client_id.c_str(), true, this);
    if (!m_) {
      Log("cannot make the MQTT client: %s", std::strerror(errno));
      return false;
    }
    mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    int rc = MOSQ_ERR_SUCCESS;
    if (!b.username.empty())
      rc = mosquitto_username_pw_set(m_, b.username.c_str(), opt_.password.empty() ? nullptr : opt_.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && !b.tls.ca.empty())
      rc = mosquitto_tls_set(m_, b.tls.ca.c_str(), nullptr, b.tls.cert.empty() ? nullptr : b.tls.cert.c_str(),
                             b.tls.key.empty() ? nullptr : b.tls.key.c_str(), nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_will_set(m_, map_.status().c_str(), 7, "offline", b.qos, true);
    if (rc != MOSQ_ERR_SUCCESS) {
      Log("cannot set up the MQTT client: %s", mosquitto_strerror(rc));
      return false;
    }
    mosquitto_reconnect_delay_set(m_, 1, 30, true);
    mosquitto_connect_callback_set(m_, [](mosquitto *, void *self, int rc) {
      static_cast<Bridge *>(self)->connected(rc);
    });
    mosquitto_disconnect_callback_set(m_, [](mosquitto *, void *self, int rc) {
      static_cast<Bridge *>(self)->disconnected(rc);
    });
    mosquitto_message_callback_set(m_, [](mosquitto *, void *self, const mosquitto_message *msg) {
      static_cast<Bridge *>(self)->message(msg);
    });
    mosquitto_publish_callback_set(m_, [](mosquitto *, void *self, int mid) {
      static_cast<Bridge *>(self)->published(mid);
    });
    rc = mosquitto_connect_async(m_, b.host.c_str(), b.port, b.keepalive);
    if (rc != MOSQ_ERR_SUCCESS) connect_failed(rc);
    rc = mosquitto_loop_start(m_);
    if (rc != MOSQ_ERR_SUCCESS) {
      Log("cannot start the MQTT network thread: %s", mosquitto_strerror(rc));
      return false;
    }
    return true;
  }

  // Until the first connection is under way the network thread waits for
  // it: the first attempts, with the same back-off, are this thread's.
  void connect_failed(int rc) {
    const BrokerConfig &b = cfg_.broker;
    if (retry_wait_ == 0 || opt_.trace)
      Log("cannot reach the broker %s:%d: %s; trying again", b.host.c_str(), b.port,
          rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
    retry_wait_ = std::min(30.0, retry_wait_ ? 2 * retry_wait_ : 1.0);
    retry_at_ = Now() + retry_wait_;
  }

  void retry_connect() {
    const int rc = mosquitto_reconnect_async(m_);
    if (rc == MOSQ_ERR_SUCCESS) retry_at_ = 0;
    else connect_failed(rc);
  }

  // The network thread's callbacks: hand over to the line thread.
  void connected(int rc) {
    if (rc != 0) {
      Log("the broker refused the connection: %s", mosquitto_connack_string(rc));
      return;
    }
    Log("connected to the broker %s:%d", cfg_.broker.host.c_str(), cfg_.broker.port);
    mosquitto_subscribe(m_, nullptr, map_.set_filter().c_str(), cfg_.broker.qos);
    mosquitto_subscribe(m_, nullptr, map_.discovery_filter().c_str(), 0);
    std::lock_guard l(mu_);
    up_ = true, changed_ = true;
    wake();
  }

  void disconnected(int rc) {
    if (rc != 0) Log("lost the broker (%s); reconnecting", mosquitto_strerror(rc));
    std::lock_guard l(mu_);
    up_ = false, changed_ = true;
    wake();
  }

  void message(const mosquitto_message *msg) {
    if (msg->payloadlen < 0 || msg->payloadlen > kMaxPayload) {
      Log("ignored a message of %d bytes on %s (at most %d are taken)", msg->payloadlen, msg->topic, kMaxPayload);
      return;
    }
    std::lock_guard l(mu_);
    if (inbox_.size() >= 1000) return;  // a flood is not queued without bound
    inbox_.push_back({msg->topic, std::string(static_cast<const char *>(msg->payload),
                                              static_cast<size_t>(msg->payloadlen)),
                      msg->retain});
    wake();
  }

  void published(int mid) {
    std::lock_guard l(mu_);
    last_acked_ = mid;
    done_cv_.notify_all();
  }

  void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
  }

  // Nothing is sent while the broker is away: the connection publishes
  // everything again when it comes back.
  void publish(const std::string &topic, const std::string &payload, bool retain) {
    if (!online_) return;
    const int rc = mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                     cfg_.broker.qos, retain);
    if (opt_.trace) Log("publish %s %s%s", topic.c_str(), payload.c_str(), rc ? " (not connected)" : "");
  }

  void publish_tag(size_t i, bool good) {
    TagState &s = state_[i];
    publish(map_.value(i), map_.payload(s.value, std::chrono::system_clock::now(), good), true);
    s.published = s.value.json;
    s.at = Now();
    s.good = good;
  }

  // On every connection: the status, every value read so far, discovery.
  void republish() {
    publish(map_.status(), line_up_ ? "online" : "offline", true);
    for (size_t i = 0; i < state_.size(); ++i)
      if (state_[i].have) publish_tag(i, line_up_ && !state_[i].refused);
    if (cfg_.homeassistant)
      for (const Message &m : map_.discovery()) publish(m.topic, m.payload, true);
  }

  void handle_broker() {
    std::deque<Incoming> in;
    bool changed = false, up = false;
    {
      std::lock_guard l(mu_);
      in.swap(inbox_);
      std::swap(changed, changed_);
      up = up_;
    }
    if (changed && up != online_) {
      online_ = up;
      if (up) republish();
    }
    for (const Incoming &m : in) {
      if (map_.stale_discovery(m.topic, m.payload.size())) {
        Log("removing the discovery message %s (its tag is no longer configured)", m.topic.c_str());
        publish(m.topic, "", true);
      } else {
        handle_set(m);
      }
    }
  }

  void loop() {
    const double t0 = Now();
    for (Group &g : groups_) g.due = t0;
    for (;;) {
      Group *next = &groups_.front();
      for (Group &g : groups_)
        if (g.due < next->due) next = &g;
      const double wait = (retry_at_ > 0 ? std::min(next->due, retry_at_) : next->due) - Now();
      pollfd fds[2] = {{sig_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      const int n = poll(fds, 2, wait > 0 ? static_cast<int>(wait * 1000) + 1 : 0);
      if (n < 0 && errno != EINTR) {
        Log("poll failed: %s", std::strerror(errno));
        return;
      }
      if (n > 0 && fds[0].revents) {
        signalfd_siginfo si{};
        [[maybe_unused]] const ssize_t r = read(sig_fd_, &si, sizeof si);
        Log("ending on %s", strsignal(static_cast<int>(si.ssi_signo)));
        return;
      }
      if (n > 0 && fds[1].revents) {
        uint64_t v = 0;
        [[maybe_unused]] const ssize_t r = read(wake_fd_, &v, sizeof v);
        handle_broker();
      }
      const double now = Now();
      if (retry_at_ > 0 && retry_at_ <= now) retry_connect();
      if (next->due <= now) {
        poll_group(*next);
        next->due += next->every;
        if (next->due < Now()) next->due = Now();  // a cycle longer than `every`: no catching up
      }
    }
  }

  void shut_down() {
    // The last message: its acknowledgement (QoS 1 and 2 come in order)
    // says that everything before it has reached the broker too.
    int mid = 0;
    const int rc = mosquitto_publish(m_, &mid, map_.status().c_str(), 7, "offline", cfg_.broker.qos, true);
    {
      std::unique_lock l(mu_);
      if (rc == MOSQ_ERR_SUCCESS)
        done_cv_.wait_for(l, std::chrono::seconds(2), [&] { return last_acked_ == mid; });
    }
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
    KS7Close(ref_);
    Log("stopped");
  }

 public:
  bool init_fds() {
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sig_fd_ = signalfd(-1, &sigs, SFD_CLOEXEC);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (sig_fd_ < 0 || wake_fd_ < 0) {
      Log("cannot make the event descriptors: %s", std::strerror(errno));
      return false;
    }
    return true;
  }

 private:
  const Config &cfg_;
  const RunOptions &opt_;
  TopicMap map_;
  std::vector<TagState> state_;
  std::vector<std::vector<unsigned char>> raw_;  // each tag's value buffer as last read
  std::vector<Group> groups_;
  mosquitto *m_ = nullptr;
  LONG ref_ = -1;
  int wake_fd_ = -1, sig_fd_ = -1;
  bool line_up_ = false, started_ = false;
  bool online_ = false;  // connected to the broker, as this thread knows it
  double retry_at_ = 0, retry_wait_ = 0;  // the first connection not yet under way

  std::mutex mu_;  // guards what follows (shared with the network thread)
  std::deque<Incoming> inbox_;
  bool up_ = false, changed_ = false;  // the connection, and news of it
  int last_acked_ = -1;
  std::condition_variable done_cv_;
};

}  // namespace

int Run(const Config &cfg, const RunOptions &opt) {
  mosquitto_lib_init();
  int status = 1;
  {
    Bridge b(cfg, opt);
    if (b.init_fds()) status = b.run();
  }
  mosquitto_lib_cleanup();
  return status;
}

}  // namespace s7mqtt
